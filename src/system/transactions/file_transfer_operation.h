#ifndef NORVA_SYSTEM_TRANSACTIONS_FILE_TRANSFER_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_FILE_TRANSFER_OPERATION_H_

#include <string>

#include "base/file_path.h"
#include "system/transactions/journal.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// What a copy and a move have in common: the destination's folder is created,
// or a file already at the destination is set aside, as prerequisites; the
// source loses its read-only bit; then the subclass transfers the file.
class FileTransferOperation : public Operation {
 public:
  bool Do(Transaction* nested) override;

 protected:
  FileTransferOperation(const FilePath& from, const FilePath& to);
  virtual void LogStart() const = 0;
  // What a later run needs to reverse the transfer.
  virtual JournalRecord UndoRecord() const = 0;
  virtual bool Transfer() = 0;

  FilePath from_;
  FilePath to_;
  bool done_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_FILE_TRANSFER_OPERATION_H_
