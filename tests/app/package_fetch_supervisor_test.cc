#include "app/package_fetch_supervisor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "app/installation_progress.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using Status = PackageFetcherDelegate::Status;

class Client : public PackageFetchSupervisor::Client {
 public:
  void OnFetchStateChanged() override {}
  void OnPackageReady() override {}
  // No installation waits for the package.
  bool OnFetchFailed(Status) override { return false; }
};

size_t LinesWith(const test::LogCapture& log, const std::string& text) {
  auto lines = log.Lines();
  return std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(text) != std::string::npos;
  });
}

// The three silent restarts are the whole run's: once the user had the fetch
// start again, its next failure before an installation waits for it goes
// straight back to the user.
TEST(PackageFetchSupervisorTest, TheUsersRetryGetsNoNewSilentRestarts) {
  test::LogCapture log;
  Client client;
  InstallationProgress progress;
  PackageFetchSupervisor fetch(client, progress);
  for (int i = 0; i < 4; ++i) fetch.NotifyStatusChanged(PackageFetcherDelegate::kDownloadFailed);
  EXPECT_EQ(LinesWith(log, "Restarting package fetching, "), 3u);
  EXPECT_EQ(LinesWith(log, "Exceeded maximum number of fetcher retries"), 1u);

  progress.SetState(FetchState::kDownloading);
  fetch.RefetchIfNeeded();
  EXPECT_EQ(progress.state(), FetchState::kFetchingUrl) << "the retry did not fetch again";
  fetch.NotifyStatusChanged(PackageFetcherDelegate::kUnpackingFailed);
  EXPECT_EQ(LinesWith(log, "Restarting package fetching, "), 3u);
  EXPECT_EQ(LinesWith(log, "Exceeded maximum number of fetcher retries"), 2u);
}

}  // namespace
}  // namespace norva::installer
