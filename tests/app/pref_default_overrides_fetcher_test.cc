#include "app/pref_default_overrides_fetcher.h"

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/location.h"
#include "base/task_loop.h"
#include "product/installer_features.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "support/test_ui_runner.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using nlohmann::json;

constexpr char kPath[] = "/api/prefs/test";
constexpr char kAbsent[] = "<absent>";
constexpr char kBusy[] = "<being written>";

class PrefDefaultOverridesFetcherTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "the local autoupdate service is not running";
    ASSERT_TRUE(service_.Reset());
    FeatureRegistry::Get().ResetForTesting();
    FeatureRegistry::Get().RegisterDefaults();
    FeatureRegistry::Get().AddOverridesFromCommandLine(CommandLine::FromString(
        L"installer.exe --with-feature:installer-pref-default-overrides-support=on"));
    std::filesystem::create_directories(folder_);
    fetcher_ = std::make_unique<PrefDefaultOverridesFetcher>(
        folder_, &ui_,
        CommandLine::FromString(L"installer.exe --local-pref-default-overrides-server=" +
                                service_.Url(kPath)));
  }
  void TearDown() override {
    fetcher_.reset();
    FeatureRegistry::Get().ResetForTesting();
    FeatureRegistry::Get().RegisterDefaults();
  }

  // What a backend handed the package at this moment would find.
  std::string Seen() const {
    HANDLE file = CreateFileW(target_.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
      return GetLastError() == ERROR_SHARING_VIOLATION ? kBusy : kAbsent;
    CloseHandle(file);
    return test::ReadFile(target_);
  }
  uint64_t SizeOnDisk() const {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(target_.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  }

  // Fetches with `tracking_data`; what the file held when `done` ran goes
  // into `seen`.
  void Fetch(const std::string& tracking_data, std::vector<std::string>* seen) {
    fetcher_->Fetch(tracking_data, [this, seen] { seen->push_back(Seen()); });
  }

  // Runs the loop until `ready` holds; false after 30 s.
  bool RunUntil(std::function<bool()> ready) { return test::RunLoopUntil(&loop_, ready); }

  std::vector<std::string> RequestBodies() {
    std::vector<std::string> bodies;
    for (const json& request : service_.Requests()) bodies.push_back(request["body"]);
    return bodies;
  }

  TaskLoop loop_;
  test::ScratchFolder scratch_;
  std::filesystem::path folder_ = scratch_.path() / L"Paket & (\u00dcbung) 100% ^!";
  std::filesystem::path target_ = folder_ / PrefDefaultOverridesFetcher::kFileName;
  test::LocalService service_;
  test::ScriptedUIRunner ui_;
  std::unique_ptr<PrefDefaultOverridesFetcher> fetcher_;
};

// The overrides follow the installation folder's tracking data: a Fetch
// after another folder was chosen downloads them again.
TEST_F(PrefDefaultOverridesFetcherTest, EveryFetchDownloadsAgain) {
  ASSERT_TRUE(service_.SetRule({{"path", kPath},
                                {"responses", {{{"body", R"({"folder":"first"})"}}}},
                                {"default", {{"body", R"({"folder":"second"})"}}}}));
  std::vector<std::string> seen;
  Fetch("first folder's tracking data", &seen);
  ASSERT_TRUE(RunUntil([&] { return seen.size() == 1; }));
  Fetch("second folder's tracking data", &seen);
  ASSERT_TRUE(RunUntil([&] { return seen.size() == 2; }));
  EXPECT_EQ(seen, (std::vector<std::string>{R"({"folder":"first"})", R"({"folder":"second"})"}));
  EXPECT_EQ(RequestBodies(), (std::vector<std::string>{"first folder's tracking data",
                                                       "second folder's tracking data"}));
}

// A Fetch while a download runs (a retry of the user) reports done to no one
// until a download has ended: the file is then complete, or gone when the
// download failed, and it stays so.
TEST_F(PrefDefaultOverridesFetcherTest, FetchWhileOneRunsWaitsForTheFile) {
  const std::string body(12 * 1024, 'x');
  const json slow = {{"body", body}, {"trickle", {512, 0.05}}};
  json slow_and_cut = slow;
  slow_and_cut["cut_at"] = 8 * 1024;
  struct Case {
    const char* name;
    json first;         // the answer to the first request
    json later;         // to every later one
    std::string found;  // what each `done` and the end find
  };
  const Case cases[] = {
      {"the second download completes", slow, {{"body", body}}, body},
      {"the downloads fail", slow_and_cut, {{"status", 404}}, kAbsent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(service_.Reset());
    ASSERT_TRUE(
        service_.SetRule({{"path", kPath}, {"responses", {c.first}}, {"default", c.later}}));
    std::vector<std::string> first_seen, second_seen;
    Fetch("tracking data", &first_seen);
    ASSERT_TRUE(RunUntil([&] { return SizeOnDisk() > 0; }));
    Fetch("tracking data", &second_seen);
    EXPECT_TRUE(second_seen.empty()) << "done while the file is being written";
    ASSERT_TRUE(RunUntil([&] { return !first_seen.empty() && !second_seen.empty(); }));
    EXPECT_EQ(first_seen, std::vector<std::string>{c.found});
    EXPECT_EQ(second_seen, std::vector<std::string>{c.found});
    // The abandoned download does not come back to change the file.
    ASSERT_TRUE(RunUntil([&] { return service_.Requests().size() >= 2; }));
    EXPECT_EQ(Seen(), c.found);
  }
}

// A fetcher that goes while it downloads leaves no partial file and runs no
// `done`.
TEST_F(PrefDefaultOverridesFetcherTest, DestroyedWhileDownloadingLeavesNoFile) {
  const json slow = {{"body", std::string(12 * 1024, 'x')}, {"trickle", {512, 0.05}}};
  ASSERT_TRUE(service_.SetRule({{"path", kPath}, {"default", slow}}));
  auto done = std::make_shared<bool>(false);
  fetcher_->Fetch("tracking data", [done] { *done = true; });
  ASSERT_TRUE(RunUntil([&] { return SizeOnDisk() > 0; }));
  fetcher_.reset();
  EXPECT_EQ(Seen(), kAbsent);
  EXPECT_FALSE(*done);
  EXPECT_EQ(done.use_count(), 1) << "a done outlives the fetcher";
}

}  // namespace
}  // namespace norva::installer
