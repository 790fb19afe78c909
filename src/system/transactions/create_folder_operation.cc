#include "system/transactions/create_folder_operation.h"

#include <windows.h>

#include "base/file_util.h"
#include "base/logging.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/journal.h"
#include "system/transactions/transaction.h"

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
  // The levels to make, deepest first.
  std::vector<FilePath> missing = {path_};
  FilePath ancestor = file_helpers::ParentOf(path_);
  while (!ancestor.empty() && !file_helpers::DirectoryExists(ancestor)) {
    missing.push_back(ancestor);
    ancestor = file_helpers::ParentOf(ancestor);
  }
  if (ancestor.empty()) {
    LOG(ERROR) << "Failed folder creation";
    return false;
  }
  VLOG(1) << "Valid ancestor";
  // A file at a level is not ours: no record may name it for a recovery.
  for (const FilePath& level : missing) {
    if (file_helpers::PathExists(level)) {
      LOG(ERROR) << "Not a folder: " << level;
      LOG(ERROR) << "Failed folder creation";
      return false;
    }
  }
  if (!WriteAhead(nested, {.kind = JournalRecord::Kind::kCreatedFolder,
                           .texts = {path_.native(), ancestor.native()}})) {
    LOG(ERROR) << "Failed folder creation";
    return false;
  }
  journal_ = nested ? nested->journal() : nullptr;
  for (auto level = missing.rbegin(); level != missing.rend(); ++level) {
    // Whatever appeared at the name since the check belongs to someone else.
    if (!file_helpers::CreateNewFolder(*level)) {
      PLOG(ERROR) << "Could not create folder " << *level;
      LOG(ERROR) << "Failed folder creation";
      return false;
    }
    made_.push_back(*level);
  }
  VLOG(1) << "Folder created successfully";
  return true;
}

void CreateFolderOperation::Undo() {
  if (journal_) {
    // Withdrawn before anything is removed: a run killed in between leaves
    // an empty folder, never a record that names what someone else may make
    // at the name next.
    if (!journal_->Append({.kind = JournalRecord::Kind::kDroppedFolder, .texts = {path_.native()}}))
      LOG(ERROR) << "Could not withdraw the creation of " << path_ << " from the journal";
    journal_ = nullptr;
  }
  while (!made_.empty()) {
    // A level someone else removed meanwhile is no reason to stop.
    if (!file_helpers::RemoveEmptyFolder(made_.back()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
      break;
    made_.pop_back();
  }
}

}  // namespace norva::installer
