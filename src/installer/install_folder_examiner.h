#ifndef NORVA_INSTALLER_INSTALL_FOLDER_EXAMINER_H_
#define NORVA_INSTALLER_INSTALL_FOLDER_EXAMINER_H_

#include <functional>
#include <memory>

#include "base/file_path.h"
#include "base/weak_ptr.h"
#include "installer/installation_status.h"

namespace norva::installer {

class Thread;

// Examines candidate installation folders on a worker thread of its own
// (started with the first examination) and replies on the thread that made
// it, which must run a TaskLoop. One examination at a time: starting another
// drops the reply of the one before.
class InstallFolderExaminer {
 public:
  using Reply = std::function<void(std::unique_ptr<InstallationStatus>)>;

  // `replace_legacy` is handed to every InstallationStatus made.
  explicit InstallFolderExaminer(bool replace_legacy);
  // Drops a pending reply and stops the worker.
  ~InstallFolderExaminer();
  InstallFolderExaminer(const InstallFolderExaminer&) = delete;
  InstallFolderExaminer& operator=(const InstallFolderExaminer&) = delete;

  // False, leaving nothing pending, when the worker cannot take the task.
  bool Examine(FilePath folder, Reply reply);
  bool IsPending() const { return pending_ != nullptr; }
  // The folder whose reply is awaited; only while pending.
  const FilePath& pending_folder() const;

 private:
  class Examination;

  bool StartWorker();

  const bool replace_legacy_;
  std::shared_ptr<Examination> pending_;
  std::unique_ptr<Thread> worker_;
  WeakPtrFactory<InstallFolderExaminer> weak_factory_{this};
};

}  // namespace norva::installer

#endif  // NORVA_INSTALLER_INSTALL_FOLDER_EXAMINER_H_
