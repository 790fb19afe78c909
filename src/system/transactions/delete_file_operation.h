#ifndef NORVA_SYSTEM_TRANSACTIONS_DELETE_FILE_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_DELETE_FILE_OPERATION_H_

#include <memory>

#include "base/file_path.h"
#include "system/access_rights.h"
#include "system/transactions/operation.h"

namespace norva::installer {

// Deletes a file (or folder) in two stages: Do renames it to
// "<name>.<seconds since 1970>.old" beside itself, Undo renames it back, and
// the destructor of a committed operation removes the set-aside copy, or
// registers it for removal at the next restart when that fails. Rights
// widened to move the file are given back when Undo leaves it in place.
//
// `check_in_use`: an ".exe" or ".dll" must be openable for writing once set
// aside, otherwise a running process still maps it and the delete fails.
// `remove_empty_parents`: at commit, also remove the folders above `path`
// that have become empty.
class DeleteFileOperation : public Operation {
 public:
  DeleteFileOperation(const FilePath& path, bool check_in_use,
                      bool remove_empty_parents);
  ~DeleteFileOperation() override;
  bool Do(Transaction* nested) override;
  void Undo() override;

  // The name used for the set-aside copy; empty before Do got that far.
  const FilePath& temp() const { return temp_; }

 private:
  bool IsInUse() const;
  void RemoveEmptyParents() const;

  FilePath path_;
  FilePath temp_;
  bool moved_ = false;
  bool check_in_use_;
  bool remove_empty_parents_;
  std::unique_ptr<SavedPermissions> widened_;
  // Commit-time work belongs to a Do that succeeded and was not undone: after
  // a rollback the set-aside file must never be removed, even if moving it
  // back failed, and folders that held nothing must stay.
  bool commit_pending_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_DELETE_FILE_OPERATION_H_
