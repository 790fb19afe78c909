#include "system/transactions/create_folder_operation.h"

#include <windows.h>

#include "base/file_util.h"
#include "base/logging.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/journal.h"

namespace norva::installer {

CreateFolderOperation::CreateFolderOperation(const FilePath& path) : path_(path) {
  // "C:\a\b\" would otherwise count as its own parent "C:\a\b".
  if (!path_.has_filename() && path_.has_relative_path()) path_ = path_.parent_path();
}

bool CreateFolderOperation::Do(Transaction* nested) {
  VLOG(1) << "Attempting to create folder " << path_;
  if (file_helpers::DirectoryExists(path_)) {
    VLOG(1) << "Folder already exists";
    return true;
  }
  FilePath ancestor = file_helpers::ParentOf(path_);
  while (!ancestor.empty() && !file_helpers::DirectoryExists(ancestor))
    ancestor = file_helpers::ParentOf(ancestor);
  if (!ancestor.empty()) {
    VLOG(1) << "Valid ancestor";
    if (!WriteAhead(nested, {.kind = JournalRecord::Kind::kCreatedFolder,
                             .texts = {path_.native(), ancestor.native()}})) {
      LOG(ERROR) << "Failed folder creation";
      return false;
    }
    // Recorded before creating, so that Undo also clears the levels of a
    // creation that failed half-way.
    ancestor_ = ancestor;
    if (CreateDirectories(path_)) {
      VLOG(1) << "Folder created successfully";
      return true;
    }
  }
  LOG(ERROR) << "Failed folder creation";
  return false;
}

void CreateFolderOperation::Undo() {
  if (ancestor_.empty()) return;
  for (FilePath folder = path_; !folder.empty() && folder != ancestor_;
       folder = file_helpers::ParentOf(folder)) {
    if (file_helpers::RemoveEmptyFolder(folder)) continue;
    // A level that a failed Do never made is no reason to stop.
    DWORD error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) break;
  }
}

}  // namespace norva::installer
