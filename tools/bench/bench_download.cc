// Downloads one URL into a file with the installer's downloader and prints
// the size and time, for scripts/bench-download. Not a test.
//   net_bench.exe URL OUTPUT_FILE
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include "base/task_loop.h"
#include "net/ui_callback_runner.h"
#include "net/wininet.h"
#include "package/package_fetcher_delegate.h"

namespace norva::installer {
namespace {

class NoUI : public UICallbackRunner {
 public:
  void RunUICallbackAndPostReply(UICallback, std::shared_ptr<TaskRunner> reply_runner,
                                 Reply reply) override {
    reply_runner->PostTask(FROM_HERE, [reply] { reply(ERROR_CANCELLED); });
  }
};

int Run(const wchar_t* url, const wchar_t* output) {
  TaskLoop loop;
  NoUI ui;
  Wininet downloader(&ui, nullptr);
  auto writer = std::make_unique<FileResponseWriter>();
  if (!writer->Open(output)) return 2;
  HANDLE file = CreateFileW(output, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  auto start = std::chrono::steady_clock::now();
  if (!downloader.Start(url, {}, [&loop] { loop.Quit(); }, std::move(writer),
                        std::make_unique<NullDownloadStats>()))
    return 3;
  loop.Run();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  LARGE_INTEGER size = {};
  GetFileSizeEx(file, &size);
  CloseHandle(file);
  std::printf("%lld %.3f\n", static_cast<long long>(size.QuadPart), seconds);
  return downloader.state() == Wininet::kCompleted ? 0 : 1;
}

}  // namespace
}  // namespace norva::installer

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: net_bench URL OUTPUT_FILE\n");
    return 2;
  }
  return norva::installer::Run(argv[1], argv[2]);
}
