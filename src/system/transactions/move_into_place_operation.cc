#include "system/transactions/move_into_place_operation.h"

#include <windows.h>

#include "base/logging.h"
#include "system/transactions/file_helpers.h"

namespace norva::installer {

MoveIntoPlaceOperation::MoveIntoPlaceOperation(const FilePath& from, const FilePath& to)
    : FileTransferOperation(from, to) {}

void MoveIntoPlaceOperation::LogStart() const {
  VLOG(1) << "Moving " << from_ << " into place at " << to_;
}

// A journal names only what a later run may remove: moving a file back to
// wherever a journal says would let an edited journal plant it anywhere.
JournalRecord MoveIntoPlaceOperation::UndoRecord() const {
  return {.kind = JournalRecord::Kind::kCreatedFile, .texts = {to_.native()}};
}

bool MoveIntoPlaceOperation::Transfer() {
  // No MOVEFILE_COPY_ALLOWED: across volumes a copy keeps the package whole.
  moved_ = file_helpers::RenamePath(from_, to_, 0);
  if (moved_) return true;
  VLOG(1) << "Could not move " << from_ << " (" << GetLastError() << "); copying it";
  return file_helpers::CopyOneFile(from_, to_);
}

void MoveIntoPlaceOperation::Undo() {
  if (!done_) return;
  if (moved_ && file_helpers::RenamePath(to_, from_, 0)) return;
  if (moved_) LOG(ERROR) << "Could not move " << to_ << " back to " << from_;
  file_helpers::DeleteOneFile(to_);
}

}  // namespace norva::installer
