#ifndef NORVA_TESTS_SUPPORT_SCRATCH_H_
#define NORVA_TESTS_SUPPORT_SCRATCH_H_

#include <chrono>
#include <filesystem>
#include <iosfwd>
#include <functional>
#include <string>
#include <vector>

#include "base/file_path.h"
#include "base/logging.h"

namespace norva::installer {
class TaskLoop;

// Shows a path in test failures.
void PrintTo(const FilePath& path, std::ostream* os);
}

namespace norva::installer::test {

// A fresh folder under the Wine user's temporary folder, removed with its
// contents when the object goes.
class ScratchFolder {
 public:
  ScratchFolder();
  ~ScratchFolder();
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Collects the log lines written while it lives (every level).
class LogCapture {
 public:
  LogCapture();
  // Also hands each line to `on_line` as it is logged.
  explicit LogCapture(std::function<void(const std::string&)> on_line);
  ~LogCapture();
  std::vector<std::string> Lines() const;
  // True when some line contains `text`.
  bool Contains(const std::string& text) const;

  struct Shared;

 private:
  Shared* shared_;
  int previous_level_;
};

// Runs `loop` until something quits it or `limit` has passed; false when the
// limit ended it. The limit never quits a later run.
bool RunLoopFor(TaskLoop* loop, std::chrono::milliseconds limit);

// Creates missing parent folders first.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
std::string ReadFile(const std::filesystem::path& path);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_SCRATCH_H_
