#include "system/transactions/move_file_operation.h"

#include "base/logging.h"
#include "system/transactions/file_helpers.h"

namespace norva::installer {

MoveFileOperation::MoveFileOperation(const FilePath& from,
                                     const FilePath& to)
    : FileTransferOperation(from, to) {}

void MoveFileOperation::LogStart() const { VLOG(1) << "Moving " << from_ << "to" << to_; }

JournalRecord MoveFileOperation::UndoRecord() const {
  return {.kind = JournalRecord::Kind::kMovedFile, .texts = {from_.native(), to_.native()}};
}

bool MoveFileOperation::Transfer() { return file_helpers::MovePath(from_, to_); }

void MoveFileOperation::Undo() {
  // Deleting the destination alone would lose the file: the source is gone.
  if (done_ && !file_helpers::MovePath(to_, from_))
    LOG(ERROR) << "Could not move " << to_ << " back to " << from_;
}

}  // namespace norva::installer
