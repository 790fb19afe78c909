// Plays the installer that runs a PackageFetcher from its own executable (an
// offline installer carrying the package, a signed network installer). Runs
// the fetch as a controller does and prints what the controller heard, one
// line each: "status N", "tracking DATA", then the unpacked files as
// "file RELATIVE_PATH SIZE", then "stats JSON".
//   fetcher_child.exe --download-folder=DIR [--internal-package-server=URL]
//                     [--runs=N]  (starts the fetcher again after each end)
#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "base/command_line.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "net/package_fetcher_delegate.h"
#include "package/package_fetcher.h"
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
