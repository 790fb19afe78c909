#ifndef NORVA_SYSTEM_TRANSACTIONS_MOVE_INTO_PLACE_OPERATION_H_
#define NORVA_SYSTEM_TRANSACTIONS_MOVE_INTO_PLACE_OPERATION_H_

#include "base/file_path.h"
#include "system/transactions/file_transfer_operation.h"

namespace norva::installer {

// Puts a file of the run's own unpacked package into place: renamed when
// both folders are on one volume, copied otherwise. A file already at the
// destination is set aside by a nested delete. Undo renames the file back, so
// the package stays whole for another attempt; when that fails the placed
// file is deleted instead: the package is this run's scratch copy, the
// installation folder is not. After a kill, the file's own record only lets
// a later run delete it; the installer records once where its package's
// files went, for a later run of the same package to move them back.
class MoveIntoPlaceOperation : public FileTransferOperation {
 public:
  MoveIntoPlaceOperation(const FilePath& from, const FilePath& to);
  void Undo() override;

 private:
  void LogStart() const override;
  JournalRecord UndoRecord() const override;
  bool Transfer() override;

  bool moved_ = false;
};

}  // namespace norva::installer

#endif  // NORVA_SYSTEM_TRANSACTIONS_MOVE_INTO_PLACE_OPERATION_H_
