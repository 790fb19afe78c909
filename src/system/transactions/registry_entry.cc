#include "system/transactions/registry_entry.h"

#include <cstring>

#include "base/logging.h"
#include "product/product_info.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/delete_reg_key_operation.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

bool AppliesTo(const RegistryEntry& entry, HKEY root) {
  if (GetWindowsVersionRank() < entry.min_windows_rank) return false;
  if (entry.root_filter && entry.root_filter != root) return false;
  return entry.min_stream <= product::StreamId();
}

}  // namespace

bool ExpandTemplate(const std::wstring& text, RegistryEntryContext* context,
                    std::wstring* expanded) {
  // One pass from left to right: an inserted value (a folder may hold
  // braces) is never read as a template again.
  expanded->clear();
  size_t done = 0;
  for (;;) {
    size_t close = text.find(L'}', done);
    size_t open = close == std::wstring::npos ? std::wstring::npos : text.rfind(L'{', close);
    if (open == std::wstring::npos || open < done) {
      if (close == std::wstring::npos) break;
      expanded->append(text, done, close + 1 - done);
      done = close + 1;
      continue;
    }
    if (!context) {
      LOG(ERROR) << "No values for the placeholders of " << text;
      return false;
    }
    expanded->append(text, done, open - done);
    expanded->append(context->GetTemplateValue(text.substr(open + 1, close - open - 1)));
    done = close + 1;
  }
  expanded->append(text, done, std::wstring::npos);
  return true;
}

bool CreateRegistryOperation(const RegistryEntry& entry, HKEY root,
                             std::unique_ptr<Operation>* operation) {
  operation->reset();
  if (!AppliesTo(entry, root)) return true;
  if (entry.type == kDeleteKeyType) {
    // The key as the row spells it, placeholders and all: expanded, the
    // "{Protocol}" rows would delete for good the DDE keys that other
    // programs keep under "http", "ftp" and the like, and no uninstallation
    // would bring them back.
    *operation = std::make_unique<DeleteRegKeyOperation>(root, entry.key_template);
    return true;
  }
  std::wstring text;
  DWORD number = entry.number;
  const void* data = nullptr;
  DWORD size = 0;
  switch (entry.type) {
    case REG_NONE:
    case kRemoveValueType:
      break;
    case REG_SZ:
    case REG_EXPAND_SZ:
      if (!ExpandTemplate(entry.text ? entry.text : L"", entry.context, &text)) return false;
      if (!text.empty()) {
        data = text.c_str();
        size = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
      }
      break;
    case REG_BINARY:
      data = entry.bytes;
      size = entry.bytes ? static_cast<DWORD>(strlen(entry.bytes)) : 0;
      break;
    case REG_DWORD:
      data = &number;
      size = sizeof(number);
      break;
    default:
      return false;
  }
  std::wstring key, name;
  if (!ExpandTemplate(entry.key_template, entry.context, &key) ||
      !ExpandTemplate(entry.value_name_template ? entry.value_name_template : L"", entry.context,
                      &name)) {
    return false;
  }
  std::vector<InstallLogKey>* log_keys =
      entry.context ? entry.context->GetInstallLogKeys(root) : nullptr;
  *operation = std::make_unique<ChangeRegValueOperation>(root, key, name, data, entry.type, size);
  if (log_keys)
    RecordRegistryValue(log_keys, key, name, data, entry.type, size, entry.clean_level);
  return true;
}

}  // namespace norva::installer
