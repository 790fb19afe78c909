#include "installer/install_folder_examiner.h"

#include <windows.h>
#include <objbase.h>

#include <utility>

#include "base/logging.h"
#include "base/task_runner.h"
#include "base/thread.h"

namespace norva::installer {

namespace {

constexpr char kWorkerName[] = "Installer status worker";

}  // namespace

// One folder's examination. It is shared with the worker's task, so a
// cancelled one may still finish there; its reply is then dropped on the
// thread that made it.
class InstallFolderExaminer::Examination
    : public std::enable_shared_from_this<Examination> {
 public:
  Examination(FilePath folder, bool replace_legacy, Reply reply)
      : folder_(std::move(folder)),
        replace_legacy_(replace_legacy),
        origin_(ThreadTaskRunnerHandle::Get()),
        reply_(std::move(reply)) {}

  const FilePath& folder() const { return folder_; }

  bool Start(TaskRunner* worker) {
    if (!origin_) return false;
    std::shared_ptr<Examination> self = shared_from_this();
    return worker->PostTask(FROM_HERE, [self] {
      auto status = std::make_shared<std::unique_ptr<InstallationStatus>>(
          std::make_unique<InstallationStatus>(self->replace_legacy_));
      // The install log is read through COM.
      HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      (*status)->Initialize(self->folder_);
      if (SUCCEEDED(com)) CoUninitialize();
      self->origin_->PostTask(FROM_HERE, [self, status] { self->Deliver(std::move(*status)); });
    });
  }

  // On the creating thread: the reply will be dropped.
  void Cancel() { reply_ = nullptr; }

 private:
  void Deliver(std::unique_ptr<InstallationStatus> status) {
    if (!reply_) return;
    Reply reply = std::move(reply_);
    reply_ = nullptr;
    reply(std::move(status));
  }

  const FilePath folder_;
  const bool replace_legacy_;
  const std::shared_ptr<TaskRunner> origin_;
  Reply reply_;
};

InstallFolderExaminer::InstallFolderExaminer(bool replace_legacy)
    : replace_legacy_(replace_legacy) {}

InstallFolderExaminer::~InstallFolderExaminer() {
  if (pending_) pending_->Cancel();
  weak_factory_.InvalidateWeakPtrs();
  if (worker_) worker_->Stop();
}

const FilePath& InstallFolderExaminer::pending_folder() const { return pending_->folder(); }

bool InstallFolderExaminer::Examine(FilePath folder, Reply reply) {
  if (pending_) pending_->Cancel();
  pending_.reset();
  if (!StartWorker()) return false;
  WeakPtr<InstallFolderExaminer> weak = weak_factory_.GetWeakPtr();
  auto examination = std::make_shared<Examination>(
      std::move(folder), replace_legacy_,
      [weak, reply = std::move(reply)](std::unique_ptr<InstallationStatus> status) {
        InstallFolderExaminer* examiner = weak.get();
        if (!examiner) return;
        examiner->pending_.reset();
        reply(std::move(status));
      });
  if (!examination->Start(worker_->task_runner().get())) {
    LOG(ERROR) << "Could not examine the install folder " << examination->folder();
    return false;
  }
  pending_ = std::move(examination);
  return true;
}

bool InstallFolderExaminer::StartWorker() {
  if (worker_) return true;
  worker_ = std::make_unique<Thread>(kWorkerName);
  if (worker_->Start()) return true;
  LOG(ERROR) << "Could not start the " << kWorkerName;
  worker_.reset();
  return false;
}

}  // namespace norva::installer
