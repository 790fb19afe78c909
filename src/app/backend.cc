#include "app/backend.h"

#include <windows.h>

#include <cstdint>
#include <cwctype>
#include <string>
#include <utility>

#include "base/command_line.h"
#include "base/handle_watcher.h"
#include "base/logging.h"
#include "base/scoped_handle.h"
#include "base/task_loop.h"
#include "engine/installer.h"
#include "engine/installer_observer.h"
#include "installer/installation_status.h"
#include "installer/ipc/installer_message.h"
#include "installer/ipc/ipc_sender.h"
#include "installer/settings.h"

namespace norva::installer {
namespace {

// 16 hexadecimal digits, the value's bytes least significant first.
bool DecodeHandle(const std::wstring& text, HANDLE* handle) {
  if (text.size() != 16) return false;
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) {
    unsigned byte = 0;
    for (wchar_t c : text.substr(2 * i, 2)) {
      if (!iswxdigit(c)) return false;
      byte = byte * 16 + (iswdigit(c) ? c - L'0' : (towupper(c) - L'A' + 10));
    }
    value |= static_cast<uint64_t>(byte) << (8 * i);
  }
  *handle = reinterpret_cast<HANDLE>(value);
  return true;
}

// Opens the frontend process; null when the command line does not name it.
HANDLE FindInitialProcess(const CommandLine& command_line, bool* owned) {
  *owned = false;
  if (command_line.HasSwitch("initial-proc-handle")) {
    HANDLE handle = nullptr;
    if (!DecodeHandle(command_line.GetSwitchValue("initial-proc-handle"), &handle)) return nullptr;
    return handle;
  }
  if (command_line.HasSwitch("initial-pid")) {
    std::wstring text = command_line.GetSwitchValue("initial-pid");
    if (text.empty() || text.find_first_not_of(L"0123456789") != std::wstring::npos)
      return nullptr;
    *owned = true;
    // No exception for an overlong number: it reads as ULONG_MAX, no process.
    return OpenProcess(SYNCHRONIZE, FALSE, std::wcstoul(text.c_str(), nullptr, 10));
  }
  return nullptr;
}

// Sends every installer event to the frontend and ends the loop with the
// installation.
class ForwardingObserver : public InstallerObserver,
                           public HandleWatcher::Delegate,
                           public Settings::Observer {
 public:
  ForwardingObserver(Settings* settings, Installer* installer, TaskLoop* loop)
      : settings_(settings), installer_(installer), loop_(loop) {}

  void StartInstaller() {
    std::wstring folder = settings_->GetInstallationStatus().GetPath().native();
    sender_.Connect(L"norva_installer\\" + folder);
    LOG(INFO) << "Beginning installation";
    settings_->SetModifiable(false);
    installer_->PostRun(settings_);
  }
  // Writes what is queued before the process ends.
  void Flush() { sender_.Close(); }

  void OnInstallationStarted() override { Send({.type = Type::kInstallationStarted}); }
  void OnChildProcessStarting(bool elevated) override {
    Send({.type = Type::kChildProcessStarting, .elevated = elevated});
  }
  void OnChildProcessFinished() override { Send({.type = Type::kChildProcessFinished}); }
  void SetTotalSteps(int steps) override { Send({.type = Type::kSetTotalSteps, .steps = steps}); }
  void OnStepCompleted() override { Send({.type = Type::kStepCompleted}); }
  void OnInstallationFailed(int message_id, const std::wstring& detail,
                            const std::string& message) override {
    Send(FitToDatagram({.type = Type::kInstallationFailed,
                        .message_id = message_id,
                        .detail = detail,
                        .message = message}));
    loop_->Quit();
  }
  void OnInstallationSucceeded() override {
    Send({.type = Type::kInstallationSucceeded});
    loop_->Quit();
  }
  void OnInstallerTerminated(bool) override { loop_->Quit(); }

  // The frontend process ended.
  void OnHandleSignaled(HANDLE) override {
    LOG(INFO) << "The installer frontend has ended";
    loop_->Quit();
  }

  void OnInstallFolderStatusChanged() override {
    settings_->RemoveObserver(this);
    StartInstaller();
  }

 private:
  using Type = InstallerMessageType;

  void Send(const InstallerMessage& message) {
    if (auto bytes = WriteInstallerMessage(message)) sender_.Send(std::move(*bytes));
  }

  Settings* const settings_;
  Installer* const installer_;
  TaskLoop* const loop_;
  IPCSenderProxy sender_;
};

// The process that started this run (an installer waiting for the package,
// or the non-elevated one) takes only this event as proof of success.
void SignalSuccessEvent(const CommandLine& command_line) {
  if (!command_line.HasSwitch("success-event")) return;
  ScopedHandle event(
      OpenEventW(EVENT_MODIFY_STATE, FALSE, command_line.GetSwitchValue("success-event").c_str()));
  // Its parent may have died meanwhile; nobody then waits for the proof.
  if (!event || !SetEvent(event.get())) PLOG(WARNING) << "Could not signal the success event";
}

}  // namespace

bool RunBackend(Settings& settings) {
  const CommandLine& command_line = CommandLine::ForCurrentProcess();
  TaskLoop* loop = TaskLoop::Current();
  if (!loop) return false;
  bool owned = false;
  HANDLE initial_process = FindInitialProcess(command_line, &owned);
  if (!initial_process) {
    LOG(ERROR) << "Could not find the installer frontend process";
    return false;
  }
  // An inherited handle is left open, as it was handed over.
  ScopedHandle opened_process(owned ? initial_process : nullptr);

  Installer installer(command_line);
  ForwardingObserver forwarder(&settings, &installer, loop);
  HandleWatcher frontend_watcher;
  bool result = false;
  if (frontend_watcher.StartWatching(initial_process, &forwarder)) {
    installer.AddObserver(&forwarder);
    if (settings.IsStatusFetchPending())
      settings.AddObserver(&forwarder);
    else
      forwarder.StartInstaller();
    loop->Run();
    settings.RemoveObserver(&forwarder);
    installer.RemoveObserver(&forwarder);
    frontend_watcher.StopWatching();
    result = installer.HasSucceeded();
  } else {
    LOG(ERROR) << "Could not watch the installer frontend process";
  }
  forwarder.Flush();
  opened_process.reset();
  if (result) SignalSuccessEvent(command_line);
  return result;
}

}  // namespace norva::installer
