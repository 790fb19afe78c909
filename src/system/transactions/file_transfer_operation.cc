#include "system/transactions/file_transfer_operation.h"

#include <memory>

#include "base/logging.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/transaction.h"

namespace norva::installer {

FileTransferOperation::FileTransferOperation(const FilePath& from,
                                             const FilePath& to)
    : from_(from), to_(to) {}

bool FileTransferOperation::Do(Transaction* nested) {
  FilePath folder = to_.parent_path();
  if (!file_helpers::DirectoryExists(folder)) {
    if (!nested->Execute(std::make_unique<CreateFolderOperation>(folder))) return false;
  } else if (file_helpers::PathExists(to_)) {
    if (!nested->Execute(std::make_unique<DeleteFileOperation>(to_, false, false))) return false;
  }
  LogStart();
  if (!file_helpers::ClearReadOnly(from_)) LOG(ERROR) << "Couldn't clear RO attribute of " << from_;
  if (!WriteAhead(nested, UndoRecord()) || !Transfer()) {
    LOG(ERROR) << "File copy failed";
    return false;
  }
  VLOG(1) << "File copied successfully";
  done_ = true;
  return true;
}

}  // namespace norva::installer
