#include "base/process.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "base/logging.h"

namespace norva::installer {

std::mutex& ChildProcessLaunchLock() {
  static std::mutex* lock = new std::mutex;
  return *lock;
}

Process::Process(Process&& other) noexcept
    : handle_(std::move(other.handle_)), id_(std::exchange(other.id_, 0)) {}

Process& Process::operator=(Process&& other) noexcept {
  if (this != &other) {
    Close();
    std::swap(handle_, other.handle_);
    std::swap(id_, other.id_);
  }
  return *this;
}

bool Process::WaitForExit(DWORD timeout_ms, DWORD* exit_code) const {
  if (!handle_ || WaitForSingleObject(handle_.get(), timeout_ms) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  if (!GetExitCodeProcess(handle_.get(), &code)) return false;
  if (exit_code) *exit_code = code;
  return true;
}

bool Process::Terminate(UINT exit_code) const {
  return handle_ && TerminateProcess(handle_.get(), exit_code);
}

void Process::Close() {
  handle_.reset();
  id_ = 0;
}

namespace {

// Limits inheritance to exactly `handles` through the attribute list.
class InheritList {
 public:
  explicit InheritList(std::vector<HANDLE> handles) : handles_(std::move(handles)) {
    std::sort(handles_.begin(), handles_.end());
    handles_.erase(std::unique(handles_.begin(), handles_.end()), handles_.end());
    if (handles_.empty()) return;
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    buffer_.reset(new char[size]);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
      buffer_.reset();
      return;
    }
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles_.data(),
                                   handles_.size() * sizeof(HANDLE), nullptr, nullptr)) {
      DeleteProcThreadAttributeList(list);
      buffer_.reset();
    }
  }
  ~InheritList() {
    if (buffer_) DeleteProcThreadAttributeList(list());
  }
  bool empty() const { return handles_.empty(); }
  bool ok() const { return handles_.empty() || buffer_ != nullptr; }
  LPPROC_THREAD_ATTRIBUTE_LIST list() const {
    return reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(buffer_.get());
  }

 private:
  std::vector<HANDLE> handles_;
  std::unique_ptr<char[]> buffer_;
};

// A scanner that has just seen a program written holds it open for a moment,
// and a child that ends during its own start-up (before any of its code runs)
// is reported as an internal error: both pass, so a start is tried again a
// few times before it is given up.
constexpr DWORD kStartRetries = 4;
constexpr DWORD kFirstRetryPauseMs = 100;

bool IsPassingStartFailure(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_INTERNAL_ERROR;
}

}  // namespace

Process LaunchProcess(const std::wstring& command_line, const LaunchOptions& options) {
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof(startup);
  std::vector<HANDLE> inherited = options.handles_to_inherit;
  bool std_handles = options.stdin_handle || options.stdout_handle || options.stderr_handle;
  if (std_handles) {
    startup.StartupInfo.dwFlags |= STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = options.stdin_handle;
    startup.StartupInfo.hStdOutput = options.stdout_handle;
    startup.StartupInfo.hStdError = options.stderr_handle;
    for (HANDLE handle : {options.stdin_handle, options.stdout_handle, options.stderr_handle})
      if (handle) inherited.push_back(handle);
  }
  if (options.start_hidden) {
    startup.StartupInfo.dwFlags |= STARTF_USESHOWWINDOW;
    startup.StartupInfo.wShowWindow = SW_HIDE;
  }
  InheritList inherit_list(inherited);
  if (!inherit_list.ok()) {
    PLOG(ERROR) << "Could not limit the handles inherited by a child process";
    return Process();
  }
  DWORD flags = options.creation_flags | CREATE_UNICODE_ENVIRONMENT;
  if (!inherit_list.empty()) {
    flags |= EXTENDED_STARTUPINFO_PRESENT;
    startup.lpAttributeList = inherit_list.list();
  }
  PROCESS_INFORMATION info{};
  for (DWORD attempt = 0, pause_ms = kFirstRetryPauseMs;; ++attempt, pause_ms *= 2) {
    std::wstring writable = command_line;  // CreateProcessW may write into it
    BOOL started;
    {
      std::lock_guard<std::mutex> hold(ChildProcessLaunchLock());
      started = CreateProcessW(
          nullptr, writable.data(), nullptr, nullptr, !inherit_list.empty(), flags, nullptr,
          options.current_directory.empty() ? nullptr : options.current_directory.c_str(),
          &startup.StartupInfo, &info);
    }
    if (started) break;
    DWORD error = GetLastError();
    if (attempt == kStartRetries || !IsPassingStartFailure(error)) {
      PLOG(ERROR) << "Could not start " << command_line;
      return Process();
    }
    PLOG(WARNING) << "Could not start " << command_line << "; retrying in " << pause_ms << " ms";
    Sleep(pause_ms);
  }
  ScopedHandle thread(info.hThread);  // only the process is kept
  return Process(info.hProcess, info.dwProcessId);
}

bool LaunchProcessAndWait(const std::wstring& command_line, DWORD* exit_code,
                          const LaunchOptions& options) {
  Process process = LaunchProcess(command_line, options);
  return process.IsValid() && process.WaitForExit(INFINITE, exit_code);
}

}  // namespace norva::installer
