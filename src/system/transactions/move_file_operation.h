#ifndef NORVA_SYSTEM_TRANSACTIONS_MOVE_FILE_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_MOVE_FILE_OPERATION_H_


#include "base/file_path.h"
#include "system/transactions/file_transfer_operation.h"

namespace norva::installer {

// Moves a file (or, when a rename cannot, copies a folder and removes the
// source). A file already at the destination is set aside by a nested
// delete. Undo moves the file back to where it came from.
class MoveFileOperation : public FileTransferOperation {
 public:
  MoveFileOperation(const FilePath& from, const FilePath& to);
  void Undo() override;

 private:
  void LogStart() const override;
  JournalRecord UndoRecord() const override;
  bool Transfer() override;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_MOVE_FILE_OPERATION_H_
