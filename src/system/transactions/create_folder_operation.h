#ifndef NORVA_SYSTEM_TRANSACTIONS_CREATE_FOLDER_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_CREATE_FOLDER_OPERATION_H_

#include <vector>

#include "base/file_path.h"
#include "system/transactions/operation.h"

namespace norva::installer {

class Journal;

// Creates a folder with every missing level above it. Undo removes the
// folders it created, deepest first, as long as they are empty, and never the
// deepest folder that existed before (the ancestor).
//
// With a journal, the creation is recorded only when nothing stands at any
// of the levels, before the first is made; each level is then made with a
// call that fails on an existing name. A creation that fails, or is undone,
// is withdrawn from the journal, so that a recovery never removes a folder
// that this transaction did not make (or no longer has).
class CreateFolderOperation : public Operation {
 public:
  explicit CreateFolderOperation(const FilePath& path);
  bool Do(Transaction* nested) override;
  void Undo() override;

 private:
  FilePath path_;
  // The levels Do made, outermost first.
  std::vector<FilePath> made_;
  // Where the creation was recorded; nullptr when it was not.
  Journal* journal_ = nullptr;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_CREATE_FOLDER_OPERATION_H_
