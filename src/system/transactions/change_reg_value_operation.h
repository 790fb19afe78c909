#ifndef NORVA_SYSTEM_TRANSACTIONS_CHANGE_REG_VALUE_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_CHANGE_REG_VALUE_OPERATION_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/registry.h"
#include "system/access_rights.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// Registry type code that removes the value instead of writing one.
constexpr DWORD kRemoveValueType = 0xFFFFFFFF;

// Writes (or, with kRemoveValueType, removes) one registry value, creating
// the key through a nested CreateRegKeyOperation when it is missing. The
// previous type and bytes are kept so Undo restores them exactly. Rights
// widened on the key are restored when the operation is destroyed.
class ChangeRegValueOperation : public Operation {
 public:
  ChangeRegValueOperation(HKEY root, const std::wstring& key_path, const std::wstring& value_name,
                          const void* data, DWORD type, DWORD size);
  ~ChangeRegValueOperation() override;
  bool Do(Transaction* nested) override;
  void Undo() override;

 private:
  bool OpenKey(LONG open_result, Transaction* nested);
  bool ReadOldValue();

  HKEY root_;
  std::wstring key_path_;
  std::wstring value_name_;
  std::wstring object_name_;
  RegKey key_;  // open from Do to destruction, so Undo writes through it
  DWORD new_type_;
  std::vector<BYTE> new_data_;
  DWORD old_type_ = kRemoveValueType;
  std::vector<BYTE> old_data_;
  bool changed_ = false;
  std::unique_ptr<SavedPermissions> saved_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_CHANGE_REG_VALUE_OPERATION_H_
