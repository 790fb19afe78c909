#ifndef NORVA_BASE_PROCESS_H_
#define NORVA_BASE_PROCESS_H_

#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/scoped_handle.h"

namespace norva::installer {

// Every start of a child process that inherits handles happens under this one
// lock, so that no child inherits a handle that another thread was about to
// hand to its own child.
std::mutex& ChildProcessLaunchLock();

// An owned process handle.
class Process {
 public:
  Process() = default;
  Process(HANDLE handle, DWORD id) : handle_(handle), id_(id) {}
  ~Process() { Close(); }
  Process(Process&& other) noexcept;
  Process& operator=(Process&& other) noexcept;
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool IsValid() const { return handle_.is_valid(); }
  HANDLE handle() const { return handle_.get(); }
  DWORD id() const { return id_; }
  // Waits up to `timeout_ms` (INFINITE for ever); false when it is still
  // running or cannot be waited for.
  bool WaitForExit(DWORD timeout_ms, DWORD* exit_code = nullptr) const;
  bool Terminate(UINT exit_code) const;
  void Close();

 private:
  ScopedHandle handle_;
  DWORD id_ = 0;
};

struct LaunchOptions {
  // Handles the child inherits (they must be inheritable). Empty: none.
  std::vector<HANDLE> handles_to_inherit;
  // Standard handles of the child; nullptr keeps the default. Each one given
  // is inherited as well.
  HANDLE stdin_handle = nullptr;
  HANDLE stdout_handle = nullptr;
  HANDLE stderr_handle = nullptr;
  bool start_hidden = false;
  DWORD creation_flags = 0;
  std::wstring current_directory;
};

// Starts `command_line` (program first, quoted as CommandLine does). The
// program path is taken from the command line. Logs and returns an invalid
// Process on failure, with the system's last error kept.
Process LaunchProcess(const std::wstring& command_line, const LaunchOptions& options = {});

// Starts the process and waits for it; false when it could not be started or
// waited for.
bool LaunchProcessAndWait(const std::wstring& command_line, DWORD* exit_code,
                          const LaunchOptions& options = {});

}  // namespace norva::installer

#endif  // NORVA_BASE_PROCESS_H_
