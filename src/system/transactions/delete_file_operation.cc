#include "system/transactions/delete_file_operation.h"

#include <windows.h>

#include <ctime>
#include <string>

#include "base/file_util.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "system/access_rights.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/journal.h"

namespace norva::installer {
namespace {

constexpr DWORD kRenameFlags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED;

// Generic write rights of a file plus delete.
constexpr DWORD kDeleteAccess = 0x130116;

bool IsProgramFile(const FilePath& path) {
  std::wstring extension = path.extension().native();
  return EqualsCaseInsensitiveASCII(extension, L".exe") ||
         EqualsCaseInsensitiveASCII(extension, L".dll");
}

// A mapped image can be renamed but not opened for writing.
bool CannotOpenForWriting(const FilePath& path) {
  ScopedHandle file(CreateFileW(ExtendedLengthPath(path).c_str(), GENERIC_WRITE, FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  return !file;
}

}  // namespace

DeleteFileOperation::DeleteFileOperation(const FilePath& path, bool check_in_use,
                                         bool remove_empty_parents)
    : path_(path), check_in_use_(check_in_use), remove_empty_parents_(remove_empty_parents) {}

DeleteFileOperation::~DeleteFileOperation() {
  if (!commit_pending_) return;
  if (moved_) {
    VLOG(1) << "Actual removal of " << temp_;
    if (!file_helpers::DeleteRecursively(temp_))
      MoveFileExW(ExtendedLengthPath(temp_).c_str(), nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
  }
  if (remove_empty_parents_) RemoveEmptyParents();
}

bool DeleteFileOperation::Do(Transaction* nested) {
  VLOG(1) << "Preparing file " << path_ << " for removal";
  if (!file_helpers::PathExists(path_)) {
    VLOG(1) << "File does not exist. Nothing to do";
    commit_pending_ = true;
    return true;
  }
  temp_ = path_;
  temp_ += StringPrintf(L".%lld.old", static_cast<long long>(std::time(nullptr)));
  if (file_helpers::PathExists(temp_)) {
    LOG(ERROR) << "Temporary file with name" << temp_ << "already exists";
    return false;
  }
  if (!CheckAccess(path_.native(), kFileObjectType, kDeleteAccess) &&
      (!WriteAheadWidening(nested, path_.native(), kFileObjectType) ||
       !ObtainPermissions(path_.native(), kFileObjectType, kDeleteAccess, false, &widened_))) {
    LOG(ERROR) << "Cannot obtain proper permissions on the file";
    return false;
  }
  if (!WriteAhead(nested, {.kind = JournalRecord::Kind::kSetAside,
                           .texts = {path_.native(), temp_.native()}}) ||
      !file_helpers::RenamePath(path_, temp_, kRenameFlags)) {
    LOG(ERROR) << "File removal failed";
    return false;
  }
  VLOG(1) << "File moved successfully to " << temp_;
  if (check_in_use_ && IsProgramFile(path_) && IsInUse()) {
    // Should the move back fail, Undo tries again rather than leave the file
    // under its temporary name.
    moved_ = !file_helpers::RenamePath(temp_, path_, kRenameFlags);
    LOG(ERROR) << "File removal failed";
    return false;
  }
  moved_ = true;
  commit_pending_ = true;
  return true;
}

bool DeleteFileOperation::IsInUse() const {
  bool in_use = CannotOpenForWriting(temp_);
  if (in_use) PLOG(ERROR) << "Attempt to open the file for writing failed";
  return in_use;
}

void DeleteFileOperation::Undo() {
  commit_pending_ = false;
  bool still_aside =
      moved_ && !file_helpers::RenamePath(temp_, path_, kRenameFlags);
  if (!widened_) return;
  // Wherever the file stays, it must not keep our grant.
  if (still_aside) widened_->name = temp_.native();
  RestorePermissions(&widened_);
}

void DeleteFileOperation::RemoveEmptyParents() const {
  for (FilePath folder = file_helpers::ParentOf(path_);
       !folder.empty() && RemoveDirectoryW(ExtendedLengthPath(folder).c_str());
       folder = file_helpers::ParentOf(folder)) {
  }
}

}  // namespace norva::installer
