#ifndef NORVA_SYSTEM_TRANSACTIONS_CREATE_FOLDER_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_CREATE_FOLDER_OPERATION_H_


#include "base/file_path.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// Creates a folder with every missing level above it. Undo removes the
// folders it created, deepest first, as long as they are empty, and never the
// deepest folder that existed before (the ancestor).
class CreateFolderOperation : public Operation {
 public:
  explicit CreateFolderOperation(const FilePath& path);
  bool Do(Transaction* nested) override;
  void Undo() override;

 private:
  FilePath path_;
  FilePath ancestor_;  // set only when Do had folders to create
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_CREATE_FOLDER_OPERATION_H_
