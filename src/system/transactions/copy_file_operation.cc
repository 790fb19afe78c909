#include "system/transactions/copy_file_operation.h"

#include <windows.h>

#include "base/file_util.h"
#include "base/logging.h"
#include "system/transactions/file_helpers.h"

namespace norva::installer {

CopyFileOperation::CopyFileOperation(const FilePath& from,
                                     const FilePath& to)
    : FileTransferOperation(from, to) {}

void CopyFileOperation::LogStart() const { VLOG(1) << "Copying " << from_ << " to " << to_; }

JournalRecord CopyFileOperation::UndoRecord() const {
  return {.kind = JournalRecord::Kind::kCreatedFile, .texts = {to_.native()}};
}

bool CopyFileOperation::Transfer() { return file_helpers::CopyOneFile(from_, to_); }

void CopyFileOperation::Undo() {
  if (done_) file_helpers::DeleteOneFile(to_);
}

}  // namespace norva::installer
