// Plays the installer that runs a PackageFetcher from its own executable (an
// offline installer carrying the package, a signed network installer). Runs
// the fetch as a controller does and prints what the controller heard, one
// line each: "status N", "tracking DATA", then the unpacked files as
// "file RELATIVE_PATH SIZE", then "stats JSON".
//   fetcher_child.exe --download-folder=DIR [--internal-package-server=URL]
//                     [--runs=N]  (starts the fetcher again after each end)
//                     [--swap-archive=DECOY_7Z]
// With --swap-archive, the moment the fetcher begins to unpack its own
// archive file, another handle tries to put DECOY_7Z in its place in four
// ways and prints "swap WAY done" or "swap WAY refused" for each.
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <utility>

#include "base/command_line.h"
#include "base/logging.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "package/package_fetcher.h"
#include "package/package_fetcher_delegate.h"
#include "stats/stats_collector.h"

namespace norva::installer {
namespace {

void Print(const std::string& line) {
  std::string text = line + "\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
            &written, nullptr);
}

class PrintingController : public PackageFetcherDelegate, public UICallbackRunner {
 public:
  explicit PrintingController(TaskLoop* loop) : loop_(loop) {}
  void SetTotalProgress(int) override {}
  void SetCurrentProgress(int) override {}
  void NotifyStalled() override {}
  void NotifyStatusChanged(Status status) override {
    Print("status " + std::to_string(status));
    if (status >= kPackageReady) loop_->Quit();
  }
  void NotifyTrackingDataObtained(const std::string& data) override { Print("tracking " + data); }
  void RunUICallbackAndPostReply(UICallback, std::shared_ptr<TaskRunner> runner,
                                 Reply reply) override {
    runner->PostTask(FROM_HERE, [reply] { reply(ERROR_CANCELLED); });
  }

 private:
  TaskLoop* loop_;
};

// The ways another process of the user could put its own archive where the
// fetcher wrote its own.
void TrySwaps(const std::wstring& archive, const std::wstring& decoy) {
  std::string decoy_bytes;
  {
    std::ifstream in(std::filesystem::path(decoy), std::ios::binary);
    decoy_bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  const std::wstring beside = archive + L".decoy";
  auto write = [&] {
    HANDLE file = CreateFileW(archive.c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool done = WriteFile(file, decoy_bytes.data(), static_cast<DWORD>(decoy_bytes.size()),
                          &written, nullptr) &&
                SetEndOfFile(file);
    CloseHandle(file);
    return done;
  };
  auto replace = [&] {
    bool done = CopyFileW(decoy.c_str(), beside.c_str(), FALSE) &&
                MoveFileExW(beside.c_str(), archive.c_str(), MOVEFILE_REPLACE_EXISTING);
    DeleteFileW(beside.c_str());
    return done;
  };
  auto rename = [&] {
    return MoveFileW(archive.c_str(), beside.c_str()) &&
           CopyFileW(decoy.c_str(), archive.c_str(), FALSE);
  };
  auto remove = [&] {
    return DeleteFileW(archive.c_str()) && CopyFileW(decoy.c_str(), archive.c_str(), FALSE);
  };
  const std::pair<const char*, std::function<bool()>> ways[] = {
      {"write", write}, {"replace", replace}, {"rename", rename}, {"delete", remove}};
  for (const auto& [name, attempt] : ways)
    Print(std::string("swap ") + name + (attempt() ? " done" : " refused"));
}

void PrintFiles(const std::filesystem::path& folder) {
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (!it->is_regular_file()) continue;
    std::string relative = WideToUtf8(it->path().lexically_relative(folder).wstring());
    Print("file " + relative + " " + std::to_string(it->file_size()));
  }
}

}  // namespace
}  // namespace norva::installer

int wmain() {
  using namespace norva::installer;
  const CommandLine& command_line = CommandLine::ForCurrentProcess();
  TaskLoop loop;
  PrintingController controller(&loop);
  StatsCollector collector(false);
  {
    PackageFetcher fetcher(command_line.GetSwitchValuePath("download-folder"), collector.root(),
                           &controller, &controller);
    if (command_line.HasSwitch("swap-archive")) {
      // The fetcher logs this on its worker right before it opens the
      // archive, and waits here until the swaps are over.
      std::wstring archive = FilePath(fetcher.package_path()).replace_extension(L"7z").native();
      std::wstring decoy = command_line.GetSwitchValue("swap-archive");
      logging::SetLineSinkForTesting(
          [archive, decoy, tried = false](int, const std::string& line) mutable {
            if (tried || line.find("Unpacking files from archive") == std::string::npos) return;
            tried = true;
            TrySwaps(archive, decoy);
          });
    }
    int runs = std::max(1, _wtoi(command_line.GetSwitchValue("runs").c_str()));
    bool timed_out = false;
    loop.task_runner()->PostDelayedTask(FROM_HERE, [&loop, &timed_out] {
      timed_out = true;
      loop.Quit();
    }, std::chrono::seconds(120));
    for (int run = 0; run < runs && !timed_out; ++run) {
      fetcher.Start();
      loop.Run();
    }
    PrintFiles(fetcher.extraction_folder());
  }
  Print("stats " + collector.Serialize());
  return 0;
}
