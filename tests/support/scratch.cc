#include "support/scratch.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <sstream>

#include "base/file_util.h"
#include "base/strings.h"
#include "base/task_loop.h"

namespace norva::installer {

void PrintTo(const FilePath& path, std::ostream* os) {
  *os << '"' << WideToUtf8(path.native()) << '"';
}

}  // namespace norva::installer

namespace norva::installer::test {

ScratchFolder::ScratchFolder() {
  static std::atomic<int> counter{0};
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  path_ = std::filesystem::path(temp) /
          StringPrintf(L"norva_test_%lu_%d", GetCurrentProcessId(), counter++);
  DeleteTree(path_);
  std::filesystem::create_directories(path_);
}

// Not the standard library's remove_all: its MinGW version can spin forever
// when a file goes away while it walks (an uninstall script deleting itself).
ScratchFolder::~ScratchFolder() { DeleteTree(path_); }

struct LogCapture::Shared {
  mutable std::mutex lock;
  std::vector<std::string> lines;
  std::function<void(const std::string&)> on_line;
};

namespace {

// Captures nest: every line reaches each capture that is alive.
std::mutex g_captures_lock;
std::vector<LogCapture::Shared*> g_captures;

}  // namespace

LogCapture::LogCapture(std::function<void(const std::string&)> on_line) : LogCapture() {
  shared_->on_line = std::move(on_line);
}

LogCapture::LogCapture() : shared_(new Shared), previous_level_(logging::kInfo) {
  bool first;
  {
    std::lock_guard<std::mutex> hold(g_captures_lock);
    g_captures.push_back(shared_);
    first = g_captures.size() == 1;
  }
  if (!first) return;
  // The sink runs under the log's own lock, which this lock never waits for.
  logging::SetMinLevel(logging::kVerbose2);
  logging::SetLineSinkForTesting([](int, const std::string& line) {
    std::lock_guard<std::mutex> hold_captures(g_captures_lock);
    for (Shared* shared : g_captures) {
      if (shared->on_line) shared->on_line(line);
      std::lock_guard<std::mutex> hold(shared->lock);
      shared->lines.push_back(line);
    }
  });
}

LogCapture::~LogCapture() {
  bool last;
  {
    std::lock_guard<std::mutex> hold(g_captures_lock);
    std::erase(g_captures, shared_);
    last = g_captures.empty();
  }
  if (last) {
    logging::SetLineSinkForTesting(nullptr);
    logging::SetMinLevel(previous_level_);
  }
  delete shared_;
}

std::vector<std::string> LogCapture::Lines() const {
  std::lock_guard<std::mutex> hold(shared_->lock);
  return shared_->lines;
}

bool LogCapture::Contains(const std::string& text) const {
  for (const std::string& line : Lines())
    if (line.find(text) != std::string::npos) return true;
  return false;
}

bool RunLoopFor(TaskLoop* loop, std::chrono::milliseconds limit) {
  enum State { kRunning, kTimedOut, kOver };
  auto state = std::make_shared<State>(kRunning);
  loop->task_runner()->PostDelayedTask(
      FROM_HERE,
      [loop, state] {
        if (*state != kRunning) return;
        *state = kTimedOut;
        loop->Quit();
      },
      limit);
  loop->Run();
  bool quit = *state == kRunning;
  *state = kOver;
  return quit;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::error_code ignored;
  std::filesystem::create_directories(path.parent_path(), ignored);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

}  // namespace norva::installer::test
