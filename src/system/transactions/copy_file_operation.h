#ifndef NORVA_SYSTEM_TRANSACTIONS_COPY_FILE_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_COPY_FILE_OPERATION_H_


#include "base/file_path.h"
#include "system/transactions/file_transfer_operation.h"

namespace norva::installer {

// Copies one file. A file already at the destination is set aside by a
// nested delete, so a rollback brings it back. Undo deletes the copy.
class CopyFileOperation : public FileTransferOperation {
 public:
  CopyFileOperation(const FilePath& from, const FilePath& to);
  void Undo() override;

 private:
  void LogStart() const override;
  JournalRecord UndoRecord() const override;
  bool Transfer() override;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_COPY_FILE_OPERATION_H_
