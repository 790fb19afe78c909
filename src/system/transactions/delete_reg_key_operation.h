#ifndef NORVA_SYSTEM_TRANSACTIONS_DELETE_REG_KEY_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_DELETE_REG_KEY_OPERATION_H_

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "base/registry.h"
#include "system/access_rights.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// Deletes a registry key with all its subkeys, saving each key's security
// descriptor and values first (parents before their subkeys) so that Undo
// can rebuild the tree. A delete that fails part-way keeps what it saved, so
// the Undo that follows rebuilds the keys already removed. Keys whose rights
// had to be widened but that were not removed get their previous DACL back.
class DeleteRegKeyOperation : public Operation {
 public:
  struct SavedValue {
    std::wstring name;
    DWORD type;
    std::vector<BYTE> data;
  };
  struct SavedKey {
    std::wstring path;  // relative to the root
    std::vector<BYTE> security_descriptor;
    std::vector<SavedValue> values;  // in enumeration order
  };

  DeleteRegKeyOperation(HKEY root, const std::wstring& key_path);
  ~DeleteRegKeyOperation() override;
  bool Do(Transaction* nested) override;
  void Undo() override;

  const std::vector<std::unique_ptr<SavedKey>>& saved_keys() const { return saved_keys_; }

 private:
  bool DeleteAndSaveRecursive(const std::wstring& subkey, const std::wstring& object_name);
  bool OpenForDelete(const std::wstring& subkey, const std::wstring& object_name, SavedKey* saved,
                     RegKey* key);
  bool SaveKey(HKEY key, const std::wstring& object_name, SavedKey* saved) const;
  bool SaveValues(HKEY key, const std::wstring& object_name, SavedKey* saved) const;
  void RestoreWidened();
  bool WriteAheadSaved(const SavedKey& saved);

  std::wstring key_path_;
  HKEY root_;
  std::vector<std::unique_ptr<SavedKey>> saved_keys_;
  Transaction* journal_ = nullptr;  // the nested transaction of Do, for its journal
  // The DACLs before widening of the keys not (yet) deleted, parents first.
  std::vector<std::unique_ptr<SavedPermissions>> widened_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_DELETE_REG_KEY_OPERATION_H_
