#ifndef NORVA_SYSTEM_TRANSACTIONS_REGISTRY_ENTRY_H_
#define NORVA_SYSTEM_TRANSACTIONS_REGISTRY_ENTRY_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "system/install_log.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// Registry type code of a row that deletes its whole key.
constexpr DWORD kDeleteKeyType = 0xFFFFFFFE;

// Supplies what the rows of a registry table leave open: the text of each
// "{Name}" placeholder, and the install log list that records the values
// written under a root (nullptr: not recorded).
class RegistryEntryContext {
 public:
  virtual ~RegistryEntryContext() = default;
  virtual std::wstring GetTemplateValue(const std::wstring& name) = 0;
  virtual std::vector<InstallLogKey>* GetInstallLogKeys(HKEY root) = 0;
};

// One row of a registry table.
struct RegistryEntry {
  const wchar_t* key_template;
  const wchar_t* value_name_template;  // nullptr: the key's default value
  DWORD type;                          // REG_NONE..REG_DWORD, kDeleteKeyType, kRemoveValueType
  const wchar_t* text = nullptr;       // REG_SZ, REG_EXPAND_SZ: a template
  const char* bytes = nullptr;         // REG_BINARY: the value's bytes
  DWORD number = 0;                    // REG_DWORD
  int min_windows_rank = 0;
  HKEY root_filter = nullptr;          // when set, the row applies to that root only
  int min_stream = 0;
  int clean_level = 0;                 // recorded with the value in the install log
  RegistryEntryContext* context = nullptr;
};

// Turns a row into the operation that applies it under `root` and records the
// value in the context's install log list. True with no operation: the row
// does not apply here. False: the row is invalid. A delete-key row deletes
// its key template as it stands: no placeholder in it is expanded.
bool CreateRegistryOperation(const RegistryEntry& entry, HKEY root,
                             std::unique_ptr<Operation>* operation);

// Replaces every "{Name}" by the context's text for it, in one pass: the
// inserted texts stay as they are, braces included. A brace without its
// partner stays too. False (with a log line) for a placeholder without a
// context.
bool ExpandTemplate(const std::wstring& text, RegistryEntryContext* context,
                    std::wstring* expanded);

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_REGISTRY_ENTRY_H_
