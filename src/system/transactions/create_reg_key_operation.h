#ifndef NORVA_SYSTEM_TRANSACTIONS_CREATE_REG_KEY_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_CREATE_REG_KEY_OPERATION_H_

#include <windows.h>

#include <memory>
#include <string>

#include "system/access_rights.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// Creates a registry key with every missing level. Undo deletes the topmost
// key it created, with everything below it. Rights widened on the nearest
// existing ancestor are restored when the operation is destroyed.
class CreateRegKeyOperation : public Operation {
 public:
  CreateRegKeyOperation(HKEY root, const std::wstring& key_path);
  ~CreateRegKeyOperation() override;
  bool Do(Transaction* nested) override;
  void Undo() override;

 private:
  bool FindAncestor(std::wstring* child, std::wstring* ancestor, LONG* open_result) const;

  std::wstring key_path_;
  HKEY root_;
  std::wstring first_created_;
  std::unique_ptr<SavedPermissions> saved_;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_CREATE_REG_KEY_OPERATION_H_
