#include "package/package_fetcher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "base/file_util.h"
#include "base/process.h"
#include "base/strings.h"
#include "base/task_loop.h"
#include "package/checksum_checker.h"
#include "package/files_list.h"
#include "package/package_test_files.h"
#include "product/product_info.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "support/test_ui_runner.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using nlohmann::json;
using Status = PackageFetcherDelegate::Status;
using Statuses = std::vector<int>;

std::filesystem::path Fixture(const std::string& name) {
  return test::BuiltProgram(L"fetcher_fixtures") / name;
}

CommandLine Switches(const std::wstring& arguments) {
  return CommandLine::FromString(L"installer.exe " + arguments);
}

// The controller's side: records what arrives on its thread and ends the
// loop when a run ends.
class RecordingController : public PackageFetcherDelegate {
 public:
  explicit RecordingController(TaskLoop* loop) : loop_(loop) {}
  void SetTotalProgress(int total) override { total_ = total; }
  void SetCurrentProgress(int current) override { current_ = current; }
  void NotifyStalled() override { ++stalled_; }
  void NotifyStatusChanged(Status status) override {
    EXPECT_TRUE(thread_ == GetCurrentThreadId()) << "a report arrived on another thread";
    statuses_.push_back(status);
    if (status >= kPackageReady || status == quit_on_) loop_->Quit();
  }
  void NotifyTrackingDataObtained(const std::string& data) override { tracking_.push_back(data); }

  Statuses statuses_;
  std::vector<std::string> tracking_;
  int total_ = -1;
  int current_ = -1;
  int stalled_ = 0;
  int quit_on_ = -1;  // a status that also ends the loop

 private:
  TaskLoop* loop_;
  DWORD thread_ = GetCurrentThreadId();
};

class PackageFetcherTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "the local autoupdate service is not running";
    ASSERT_TRUE(service_.Reset());
    json branding = {{"domain", ".norva.example"},
                     {"urls", {{"autoupdate", WideToUtf8(service_.Url("/"))}}}};
    product::SetBrandingForTesting(branding.dump());
  }
  void TearDown() override { product::ResetBrandingForTesting(); }

  void MakeFetcher(const std::wstring& switches = L"") {
    MakeFetcherIn(download_folder_, switches);
  }
  void MakeFetcherIn(const std::filesystem::path& folder, const std::wstring& switches = L"") {
    fetcher_ = std::make_unique<PackageFetcher>(folder, collector_.root(), &ui_, &controller_,
                                                Switches(switches));
  }

  // Starts a run and waits for its end; the statuses of that run.
  Statuses Run() {
    size_t first = controller_.statuses_.size();
    fetcher_->Start();
    EXPECT_TRUE(test::RunLoopFor(&loop_, std::chrono::seconds(90))) << "the run never ended";
    return Statuses(controller_.statuses_.begin() + first, controller_.statuses_.end());
  }

  // Serves `fixture` as the full package and answers the download-URL query
  // with it; `extra` adds keys to the reply.
  void ServePackage(const std::string& fixture, json extra = json::object(),
                    bool wrong_checksum = false) {
    package_bytes_ = test::ReadFile(Fixture(fixture));
    service_.PutFile("full_package.exe", package_bytes_);
    ASSERT_TRUE(service_.SetReply({{"stream", "developer"},
                                   {"installer_file", "full_package.exe"},
                                   {"wrong_checksum", wrong_checksum},
                                   {"extra", extra}}));
  }

  json Stats() { return json::parse(collector_.Serialize()); }
  json LastFetch() { return Stats()["fetches"].back(); }
  json RequestsFor(const std::string& path) {
    json found = json::array();
    for (const json& request : service_.Requests())
      if (request["path"] == path) found.push_back(request);
    return found;
  }
  std::filesystem::path Unpacked(const std::wstring& name) {
    return fetcher_->extraction_folder() / name;
  }

  test::LogCapture log_;
  test::ScratchFolder scratch_;
  std::filesystem::path download_folder_ = scratch_.path();
  test::LocalService service_;
  TaskLoop loop_;
  StatsCollector collector_{false};
  RecordingController controller_{&loop_};
  test::ScriptedUIRunner ui_;
  std::string package_bytes_;
  std::unique_ptr<PackageFetcher> fetcher_;
};

const Statuses kNetworkSuccess = {0, 1, 2, 3, 4, 6};
const Statuses kWithPartnerContent = {0, 1, 2, 3, 4, 5, 6};
constexpr Status kDownloadFailed = PackageFetcherDelegate::kDownloadFailed;

TEST_F(PackageFetcherTest, DownloadsChecksAndUnpacksWithAGetWithoutTrackingData) {
  ServePackage("full_package.exe", {{"url_welcome", "https://www.norva.example/welcome"}});
  MakeFetcher();
  std::filesystem::path package = fetcher_->package_path();
  EXPECT_EQ(package.parent_path(), download_folder_);
  EXPECT_TRUE(StartsWith(WideToUtf8(package.filename().wstring()), "norva_installer_"));
  EXPECT_EQ(package.extension(), L".exe");

  EXPECT_EQ(Run(), kNetworkSuccess);
  json queries = RequestsFor("/netinstaller/developer");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0]["method"], "GET");
  EXPECT_TRUE(controller_.tracking_.empty());

  // The package as the service served it, and its archive unpacked.
  EXPECT_TRUE(test::ReadFile(package) == package_bytes_);
  EXPECT_EQ(test::ReadFile(Unpacked(L"launcher.exe")), "stand-in launcher\r\n");
  EXPECT_TRUE(PathExists(Unpacked(L"resources\\numbers.txt")));
  EXPECT_FALSE(PathExists(std::filesystem::path(package).replace_extension(L"7z")));
  EXPECT_FALSE(PathExists(Unpacked(L"server_tracking_data")));
  EXPECT_FALSE(PathExists(Unpacked(L"files_list")));
  json welcome = json::parse(test::ReadFile(Unpacked(L"installer_prefs_include.json")));
  EXPECT_EQ(welcome["welcome-url"], "https://www.norva.example/welcome");
  EXPECT_GT(controller_.total_, 0) << "no unpacking progress";

  json stats = Stats();
  json fetch = stats["fetches"][0];
  EXPECT_EQ(fetch["try_number"], 0);
  EXPECT_EQ(fetch["result"], "package_ready");
  EXPECT_EQ(fetch["internal_version"], "2163.0");
  EXPECT_EQ(fetch["stream"], "developer");
  EXPECT_EQ(fetch["fetch_download_url_http_status"], 200);
  EXPECT_EQ(fetch["download_url"], WideToUtf8(service_.Url("/full_package.exe")));
  EXPECT_EQ(stats["download_url"], fetch["download_url"]);
  ASSERT_EQ(fetch["download_chunks"].size(), 1u);
  EXPECT_EQ(fetch["download_chunks"][0]["http_status"], 200);
  for (const char* time : {"start_time", "fetch_download_url_start_time", "download_start_time",
                           "download_end_time", "extract_start_time", "unpack_start_time",
                           "unpack_end_time", "package_ready_time"})
    EXPECT_TRUE(fetch[time].contains("elapsed")) << time;
  for (const char* stamp : {"installation_start_download_time", "installation_start_unpacking_time",
                            "installation_unpack_complete_time", "package_ready_time"})
    EXPECT_TRUE(stats[stamp].is_string()) << stamp;
  EXPECT_FALSE(fetch.contains("failure_reason"));
  EXPECT_FALSE(stats.contains("fetcher_restarts"));

  // The unpacked package lives only as long as its fetcher.
  std::filesystem::path extracted = fetcher_->extraction_folder();
  fetcher_.reset();
  EXPECT_FALSE(PathExists(package));
  EXPECT_FALSE(PathExists(extracted));
}

TEST_F(PackageFetcherTest, TrackingDataFromTheCommandLineIsPostedAndKept) {
  ServePackage("full_package.exe");
  MakeFetcher(L"--server-tracking-blob=partner%3Dabc&x=1");
  EXPECT_EQ(Run(), kNetworkSuccess);
  json queries = RequestsFor("/netinstaller/developer");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0]["method"], "POST");
  EXPECT_EQ(queries[0]["body"], "partner%3Dabc&x=1");
  EXPECT_EQ(controller_.tracking_, std::vector<std::string>{"partner%3Dabc&x=1"});
  EXPECT_EQ(Stats()["tracking_data"], "partner%3Dabc&x=1");
  EXPECT_EQ(test::ReadFile(Unpacked(L"server_tracking_data")), "partner%3Dabc&x=1");
}

TEST_F(PackageFetcherTest, InternalPackageServerSwitchGivesTheWholeQueryUrl) {
  ServePackage("full_package.exe");
  ASSERT_TRUE(service_.SetReply({{"stream", "custom"}, {"installer_file", "full_package.exe"}}));
  MakeFetcher(L"--internal-package-server=" + service_.Url("/netinstaller/custom"));
  EXPECT_EQ(Run(), kNetworkSuccess);
  EXPECT_EQ(RequestsFor("/netinstaller/custom").size(), 1u);
  EXPECT_EQ(RequestsFor("/netinstaller/developer").size(), 0u);
}

class PartnerContentTest : public PackageFetcherTest {
 protected:
  // Serves `bytes` as a partner file; its entry for the reply.
  json Partner(const std::string& name, const std::string& bytes, bool good_checksum = true) {
    service_.PutFile(name, bytes);
    std::filesystem::path local = scratch_.path() / Utf8ToWide("expected_" + name);
    test::WriteFile(local, bytes);
    std::string checksum = ChecksumChecker::ComputeSha256(local);
    if (!good_checksum) checksum[0] = checksum[0] == '0' ? '1' : '0';
    return {{"href", WideToUtf8(service_.Url("/" + name))},
            {"filename", "installed_" + name},
            {"checksum", checksum}};
  }
  json PartnerRecords() { return LastFetch()["addtional_files"]; }
  void ExpectNoPartnerDownloadLeft() {
    EXPECT_FALSE(PathExists(download_folder_ / L"partner_content.tmp"));
  }
  // The package's own entries first, then `partners`.
  static std::string ListedWith(const std::string& partners) {
    return "zeta.txt\r\nresources\\numbers.txt\r\n" + partners;
  }
  // Giving up on a partner file reports the package ready but does not
  // record it as ready in the statistics.
  void ExpectNoPackageReadyStatistics() {
    json stats = Stats();
    EXPECT_FALSE(stats.contains("package_ready_time"));
    EXPECT_FALSE(stats["fetches"].back().contains("package_ready_time"));
    EXPECT_FALSE(stats["fetches"].back().contains("result"));
  }
};

TEST_F(PartnerContentTest, PartnerFilesLandInThePackageAndAreListed) {
  json partners = {Partner("a.bin", std::string(5000, 'a')), Partner("b.txt", "partner b\n")};
  ServePackage("listed_package.exe", {{"partner_content", partners}});
  MakeFetcher();
  EXPECT_EQ(Run(), kWithPartnerContent);
  EXPECT_EQ(test::ReadFile(Unpacked(L"installed_a.bin")), std::string(5000, 'a'));
  EXPECT_EQ(test::ReadFile(Unpacked(L"installed_b.txt")), "partner b\n");
  EXPECT_EQ(test::ReadFile(Unpacked(L"files_list")),
            ListedWith("installed_a.bin\r\ninstalled_b.txt\r\n"));
  ExpectNoPartnerDownloadLeft();
  json records = PartnerRecords();
  ASSERT_EQ(records.size(), 2u);
  for (const json& record : records) {
    EXPECT_EQ(record["download_succeeded"], 1);
    ASSERT_EQ(record["download_tries"].size(), 1u);
    EXPECT_EQ(record["download_tries"][0]["try_number"], 0);
    EXPECT_EQ(record["download_tries"][0]["http_status"], 200);
    EXPECT_TRUE(record["download_tries"][0]["download_end_time"].contains("elapsed"));
  }
  EXPECT_EQ(records[1]["download_url"], WideToUtf8(service_.Url("/b.txt")));
  EXPECT_EQ(LastFetch()["result"], "package_ready");
}

TEST_F(PartnerContentTest, AFileFailingItsChecksumIsTriedFourTimesThenGivenUp) {
  ServePackage("full_package.exe",
               {{"partner_content", {Partner("bad.bin", "partner bytes", false)}}});
  MakeFetcher();
  EXPECT_EQ(Run(), kWithPartnerContent);
  EXPECT_EQ(RequestsFor("/bad.bin").size(), 4u);
  EXPECT_TRUE(log_.Contains("Retrying partner content download"));
  EXPECT_TRUE(log_.Contains("Giving up on partner content download"));
  EXPECT_FALSE(PathExists(Unpacked(L"installed_bad.bin")));
  EXPECT_FALSE(PathExists(Unpacked(L"files_list")));
  EXPECT_TRUE(PathExists(Unpacked(L"launcher.exe")));
  ExpectNoPartnerDownloadLeft();
  json record = PartnerRecords()[0];
  EXPECT_EQ(record["download_succeeded"], 0);
  ASSERT_EQ(record["download_tries"].size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(record["download_tries"][i]["try_number"], i);
  // Partner problems never fail the run.
  EXPECT_FALSE(LastFetch().contains("failure_reason"));
  EXPECT_FALSE(Stats().contains("fetcher_restarts"));
  ExpectNoPackageReadyStatistics();
}

// The package's files stay listed, in their order, and the partner file that
// made it is added; the one given up on is neither there nor listed.
TEST_F(PartnerContentTest, APackageWithItsOwnListKeepsItAndGainsTheGoodPartnerFile) {
  json partners = {Partner("good.bin", "good"), Partner("bad.bin", "bad", false)};
  ServePackage("listed_package.exe", {{"partner_content", partners}});
  MakeFetcher();
  EXPECT_EQ(Run(), kWithPartnerContent);
  EXPECT_TRUE(log_.Contains("Giving up on partner content download"));
  EXPECT_EQ(test::ReadFile(Unpacked(L"files_list")), ListedWith("installed_good.bin\r\n"));
  EXPECT_EQ(test::ReadFile(Unpacked(L"installed_good.bin")), "good");
  EXPECT_EQ(test::ReadFile(Unpacked(L"zeta.txt")), "listed\r\n");
  EXPECT_FALSE(PathExists(Unpacked(L"installed_bad.bin")));
  ExpectNoPackageReadyStatistics();
}

// A package list that cannot take the partner files leaves the package to be
// installed alone: the run still ends with the package ready.
TEST_F(PartnerContentTest, AListThatCannotBeExtendedIsLeftAsItWas) {
  for (const char* fixture : {"full_package.exe", "list_folder_package.exe"}) {
    SCOPED_TRACE(fixture);
    fetcher_.reset();
    ASSERT_TRUE(service_.Reset());
    ServePackage(fixture, {{"partner_content", {Partner("p.bin", "partner")}}});
    test::LogCapture log;
    MakeFetcher();
    EXPECT_EQ(Run(), kWithPartnerContent);
    EXPECT_TRUE(log.Contains("Could not list the partner content"));
    EXPECT_TRUE(PathExists(Unpacked(L"installed_p.bin")));
    if (std::string(fixture) == "full_package.exe")
      EXPECT_FALSE(PathExists(Unpacked(L"files_list")));
    else
      EXPECT_TRUE(std::filesystem::is_directory(Unpacked(L"files_list")));
    EXPECT_EQ(LastFetch()["result"], "package_ready");
    EXPECT_FALSE(LastFetch().contains("failure_reason"));
  }
}

// The package's entries stay as they are, in their order, and each added name
// follows on a line of its own; a list that names nothing is not the
// package's and stays untouched.
TEST(FilesListTest, AddsNamesAfterThePackagesOwnEntries) {
  struct Case {
    const char* name;
    const char* list;  // nullptr: no list
    bool added;
    const char* after;
  };
  const Case cases[] = {
      {"ended", "a\r\nsub\\b\r\n", true, "a\r\nsub\\b\r\np.bin\r\nq.txt\r\n"},
      {"unended", "a\r\nb", true, "a\r\nb\r\np.bin\r\nq.txt\r\n"},
      {"empty pieces kept", "\r\na\r\n\r\n", true, "\r\na\r\n\r\np.bin\r\nq.txt\r\n"},
      {"only line ends", "\r\n\r\n", false, "\r\n\r\n"},
      {"empty", "", false, ""},
      {"missing", nullptr, false, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::ScratchFolder package;
    std::filesystem::path list = package.path() / L"files_list";
    if (c.list) test::WriteFile(list, c.list);
    EXPECT_EQ(AddToFilesList(package.path(), {"p.bin", "q.txt"}), c.added);
    if (c.after)
      EXPECT_EQ(test::ReadFile(list), c.after);
    else
      EXPECT_FALSE(PathExists(list));
    // No temporary file of the list is left behind.
    std::filesystem::directory_iterator files(package.path());
    EXPECT_EQ(std::count_if(begin(files), end(files), [](const auto& entry) {
                return entry.path().filename().wstring().starts_with(L"files_list");
              }), c.list ? 1 : 0);
  }
}

TEST_F(PartnerContentTest, ADownloadThatNeededRetriesIsGivenUpAtItsFirstFailure) {
  json partners = {Partner("flaky.bin", "flaky"), Partner("never.bin", "never")};
  ServePackage("full_package.exe", {{"partner_content", partners}});
  // One connectivity retry, then an answer that fails the download.
  ASSERT_TRUE(service_.SetRule({{"path", "/flaky.bin"},
                                {"responses", {{{"status", 503}}, {{"status", 404}}}}}));
  MakeFetcher();
  EXPECT_EQ(Run().back(), PackageFetcherDelegate::kPackageReady);
  EXPECT_EQ(RequestsFor("/flaky.bin").size(), 2u);
  EXPECT_EQ(RequestsFor("/never.bin").size(), 0u) << "later entries are not tried";
  EXPECT_FALSE(log_.Contains("Retrying partner content download"));
  EXPECT_TRUE(log_.Contains("Giving up on partner content download"));
  EXPECT_EQ(PartnerRecords()[0]["download_tries"].size(), 1u);
}

// An entry without its checksum, or whose name would leave the package, ends
// the partner phase (it and later entries are not fetched) but not the run.
TEST_F(PartnerContentTest, AMalformedEntryEndsThePartnerPhaseButNotTheRun) {
  for (const std::string field : {"checksum", "filename"}) {
    SCOPED_TRACE(field);
    fetcher_.reset();  // its package and folder go before the next one's
    ASSERT_TRUE(service_.Reset());
    json malformed = Partner("c.bin", "c");
    if (field == "checksum") malformed.erase("checksum");
    else malformed["filename"] = "..\\escaped.bin";
    json partners = {Partner("a.bin", "a"), malformed, Partner("d.bin", "d")};
    ServePackage("listed_package.exe", {{"partner_content", partners}});
    test::LogCapture log;
    MakeFetcher();
    EXPECT_EQ(Run().back(), PackageFetcherDelegate::kPackageReady);
    EXPECT_TRUE(log.Contains("Failed parsing partner content part of JSON reply"));
    EXPECT_EQ(test::ReadFile(Unpacked(L"installed_a.bin")), "a");
    EXPECT_EQ(RequestsFor("/c.bin").size() + RequestsFor("/d.bin").size(), 0u);
    EXPECT_FALSE(PathExists(download_folder_ / L"escaped.bin"));
    // What made it into the package is still listed.
    EXPECT_EQ(test::ReadFile(Unpacked(L"files_list")), ListedWith("installed_a.bin\r\n"));
    EXPECT_EQ(LastFetch()["result"], "package_ready");
  }
}

TEST_F(PartnerContentTest, APartnerFileCannotReplaceAFileOfThePackage) {
  // Partner files carry no signature; the package's own files do.
  json replacing = Partner("evil.exe", "not the launcher");
  replacing["filename"] = "launcher.exe";
  ServePackage("full_package.exe", {{"partner_content", {replacing}}});
  MakeFetcher();
  EXPECT_EQ(Run().back(), PackageFetcherDelegate::kPackageReady);
  EXPECT_TRUE(log_.Contains("Failed moving partner content into place"));
  EXPECT_EQ(test::ReadFile(Unpacked(L"launcher.exe")), "stand-in launcher\r\n");
  EXPECT_FALSE(PathExists(Unpacked(L"files_list")));
  ExpectNoPartnerDownloadLeft();
}

TEST_F(PackageFetcherTest, EveryNewRunHasTheNextTryNumberAndACleanLocation) {
  ServePackage("full_package.exe");
  ASSERT_TRUE(service_.SetRule({{"path", "/netinstaller/developer"},
                                {"responses", {{{"status", 404}}, {{"status", 404}}}}}));
  MakeFetcher();
  EXPECT_EQ(Run(), (Statuses{0, 1, 2, 8}));
  EXPECT_EQ(Stats()["fetcher_restarts"], 1);
  EXPECT_EQ(Run(), (Statuses{0, 1, 2, 8}));
  EXPECT_EQ(Stats()["fetcher_restarts"], 2);
  // Leftovers of an earlier run never reach the next one.
  test::WriteFile(fetcher_->package_path(), "stale package");
  CreateDirectories(fetcher_->extraction_folder());
  test::WriteFile(Unpacked(L"stale.txt"), "stale");

  EXPECT_EQ(Run(), kNetworkSuccess);
  EXPECT_FALSE(PathExists(Unpacked(L"stale.txt")));
  EXPECT_TRUE(test::ReadFile(fetcher_->package_path()) == package_bytes_);
  json stats = Stats();
  EXPECT_EQ(stats["fetcher_restarts"], 2);
  ASSERT_EQ(stats["fetches"].size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(stats["fetches"][i]["try_number"], i);
  EXPECT_EQ(stats["fetches"][0]["result"], "download_failed");
  EXPECT_EQ(stats["fetches"][1]["fetch_download_url_http_status"], 404);
  EXPECT_EQ(stats["fetches"][2]["result"], "package_ready");
}

TEST_F(PackageFetcherTest, DestroyingTheFetcherStopsItsDownloadAndRemovesThePackage) {
  ServePackage("full_package.exe");
  ASSERT_TRUE(service_.SetRule(
      {{"path", "/full_package.exe"}, {"default", {{"trickle", {4096, 0.2}}}}}));
  MakeFetcher();
  controller_.quit_on_ = PackageFetcherDelegate::kDownloading;
  EXPECT_EQ(Run(), (Statuses{0, 1, 2, 3}));
  std::filesystem::path package = fetcher_->package_path();
  EXPECT_TRUE(test::WaitUntil([&] {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    return GetFileAttributesExW(package.c_str(), GetFileExInfoStandard, &data) &&
           (data.nFileSizeLow || data.nFileSizeHigh);
  })) << "nothing of the package arrived";
  // Stopping joins the fetcher's threads: what they reported is queued here now.
  fetcher_.reset();
  loop_.RunUntilIdle();
  EXPECT_EQ(controller_.statuses_.size(), 4u) << "a report arrived after the fetcher went";
  EXPECT_FALSE(PathExists(package));
  EXPECT_TRUE(log_.Contains("Stopping the download"));
}

TEST(PackageFetcherDelegateProxyTest, ForwardsToTheControllerThreadUntilCleared) {
  TaskLoop loop;
  test::ScriptedUIRunner ui;
  ui.result_ = 7;
  RecordingController controller(&loop);
  auto proxy = std::make_shared<PackageFetcherDelegateProxy>(&controller, &ui);
  int reply = 0;
  std::thread worker([&] {
    proxy->NotifyStatusChanged(PackageFetcherDelegate::kDownloading);
    proxy->SetTotalProgress(10);
    proxy->SetCurrentProgress(3);
    proxy->NotifyTrackingDataObtained("blob");
    proxy->RunUICallbackAndPostReply([](HWND) { return 0; }, loop.task_runner(),
                                     [&reply](int result) { reply = result; });
  });
  worker.join();
  loop.RunUntilIdle();
  EXPECT_EQ(controller.statuses_, (Statuses{PackageFetcherDelegate::kDownloading}));
  EXPECT_EQ(controller.total_, 10);
  EXPECT_EQ(controller.current_, 3);
  EXPECT_EQ(controller.tracking_, std::vector<std::string>{"blob"});
  EXPECT_EQ(ui.calls_, 1);
  EXPECT_EQ(reply, 7);

  // Reports already posted when the fetcher clears the proxy are dropped.
  proxy->NotifyStalled();
  proxy->RunUICallbackAndPostReply([](HWND) { return 0; }, loop.task_runner(), [](int) {});
  proxy->Clear();
  loop.RunUntilIdle();
  EXPECT_EQ(controller.stalled_, 0);
  EXPECT_EQ(ui.calls_, 1);
}

// One row per way a run can fail: how to bring it about, and what it must
// report.
struct FailureCase {
  const char* name;
  const char* reason;
  Status status;
};

class PackageFetcherFailureTest : public PackageFetcherTest,
                                  public testing::WithParamInterface<FailureCase> {
 protected:
  // Prepares the service and the download folder for the row.
  void Arrange(const std::string& name) {
    ServePackage("full_package.exe");
    if (name == "unclean") {
      // A folder where the package file goes, with something inside.
      std::filesystem::create_directories(fetcher_->package_path() / L"held");
    } else if (name == "query_refused") {
      service_.SetRule({{"path", "/netinstaller/developer"}, {"default", {{"status", 404}}}});
    } else if (name == "reply_without_checksum") {
      std::string reply = json{{"installer", WideToUtf8(service_.Url("/full_package.exe"))}}.dump();
      service_.SetReply({{"stream", "developer"}, {"text", reply}});
    } else if (name == "reply_not_json") {
      service_.SetReply({{"stream", "developer"}, {"installer_file", "full_package.exe"},
                         {"malformed", true}});
    } else if (name == "no_download_folder") {
      MakeFetcherIn(download_folder_ / L"missing");
    } else if (name == "package_missing") {
      service_.SetRule({{"path", "/full_package.exe"}, {"default", {{"status", 404}}}});
    } else if (name == "wrong_checksum") {
      ServePackage("full_package.exe", json::object(), true);
    } else if (name == "not_an_executable") {
      service_.PutFile("full_package.exe", "MZ but nothing that runs" + test::Trailer("7z"));
      service_.SetReply({{"stream", "developer"}, {"installer_file", "full_package.exe"}});
    } else if (name == "other_stream") {
      ServePackage("other_stream_package.exe");
    } else if (name == "no_archive") {
      ServePackage("no_payload_package.exe");
    } else if (name == "broken_archive") {
      ServePackage("broken_archive_package.exe");
    } else if (name == "no_ui_runner") {
      // Nobody can ask for the proxy's credentials.
      fetcher_ = std::make_unique<PackageFetcher>(download_folder_, collector_.root(), nullptr,
                                                  &controller_, Switches(L""));
      service_.SetRule({{"path", "/netinstaller/developer"}, {"default", {{"proxy_auth", true}}}});
    }
  }
};

TEST_P(PackageFetcherFailureTest, FailsTheRunWithItsReasonAndStatus) {
  const FailureCase& row = GetParam();
  MakeFetcher();
  Arrange(row.name);
  Statuses statuses = Run();
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), row.status);
  EXPECT_EQ(std::count_if(statuses.begin(), statuses.end(), [](int s) { return s >= 6; }), 1);
  json stats = Stats();
  json fetch = stats["fetches"].back();
  EXPECT_EQ(fetch["failure_reason"], row.reason);
  EXPECT_EQ(fetch["result"], PackageFetcher::StatusName(row.status));
  EXPECT_EQ(stats["fetcher_restarts"], 1);
  EXPECT_TRUE(log_.Contains(row.reason));
  if (row.status == kDownloadFailed &&
      std::string(row.reason) != "Failed fetching the download URL") {
    EXPECT_GE(statuses[statuses.size() - 2], PackageFetcherDelegate::kDownloading);
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryReason, PackageFetcherFailureTest,
    testing::Values(
        FailureCase{"unclean", "Unable to obtain or clean the download/extraction path",
                    PackageFetcherDelegate::kInitializationFailed},
        FailureCase{"query_refused", "Failed fetching the download URL", kDownloadFailed},
        FailureCase{"reply_without_checksum", "Failed parsing json reply", kDownloadFailed},
        FailureCase{"reply_not_json", "Failed parsing json reply", kDownloadFailed},
        FailureCase{"no_download_folder",
                    "Failed initializing the file to use as download destination", kDownloadFailed},
        FailureCase{"package_missing", "Failed downloading the Norva package", kDownloadFailed},
        FailureCase{"wrong_checksum", "Checksum incorrect for the downloaded package",
                    kDownloadFailed},
        FailureCase{"not_an_executable", "Downloaded package is older than the installer",
                    kDownloadFailed},
        FailureCase{"other_stream",
                    "Downloaded package is of a different stream than the installer",
                    kDownloadFailed},
        FailureCase{"no_archive", "Could not find 7z payload in full package", kDownloadFailed},
        FailureCase{"broken_archive", "Archive unpacking failed",
                    PackageFetcherDelegate::kUnpackingFailed},
        FailureCase{"no_ui_runner", "Failed fetching the download URL", kDownloadFailed}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

// What an installer running a fetch from its own executable (the fetcher
// child) reported.
struct ChildRun {
  Statuses statuses;
  std::vector<std::string> files;  // "relative/path size"
  std::vector<std::string> swaps;  // "way done|refused"
  json stats;
};

const std::vector<std::string> kOwnFiles = {"launcher.exe 19", "resources\\numbers.txt 108894"};

class OwnPayloadTest : public PackageFetcherTest {
 protected:
  ChildRun RunInstaller(const std::string& installer, const std::wstring& switches = L"") {
    std::filesystem::path output = scratch_.path() / L"child_output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE out = CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    LaunchOptions options;
    options.stdout_handle = out;
    std::filesystem::path downloads = scratch_.path() / L"downloads";
    CreateDirectories(downloads);
    CommandLine command_line(Fixture(installer));
    command_line.AppendSwitchPath("download-folder", downloads);
    std::wstring command = command_line.GetCommandLineString() + L" " + switches;
    DWORD exit_code = 1;
    EXPECT_TRUE(LaunchProcessAndWait(command, &exit_code, options));
    CloseHandle(out);
    EXPECT_EQ(exit_code, 0u);
    ChildRun run;
    for (const std::string& line : SplitString(test::ReadFile(output), '\n')) {
      if (StartsWith(line, "status ")) run.statuses.push_back(std::stoi(line.substr(7)));
      if (StartsWith(line, "file ")) run.files.push_back(line.substr(5));
      if (StartsWith(line, "swap ")) run.swaps.push_back(line.substr(5));
      if (StartsWith(line, "stats ")) run.stats = json::parse(line.substr(6));
    }
    // Nothing of the run is left behind.
    std::error_code error;
    EXPECT_TRUE(std::filesystem::is_empty(downloads, error));
    return run;
  }
};

TEST_F(OwnPayloadTest, OfflineInstallerUnpacksItsOwnArchiveWithoutTheNetwork) {
  ChildRun run = RunInstaller("offline_installer.exe");
  EXPECT_EQ(run.statuses, (Statuses{0, 1, 4, 6}));
  EXPECT_EQ(run.files, kOwnFiles);
  json fetch = run.stats["fetches"][0];
  EXPECT_EQ(fetch["result"], "package_ready");
  EXPECT_FALSE(fetch.contains("download_url"));
  EXPECT_FALSE(fetch.contains("fetch_download_url_start_time"));
  EXPECT_TRUE(fetch["unpack_end_time"].contains("elapsed"));
  EXPECT_TRUE(service_.Requests().empty()) << "the offline installer used the network";
}

// Between the writing of the archive file and its unpacking, another handle
// tries to put a decoy archive there: each way is refused and the package
// comes out as the installer carries it.
TEST_F(OwnPayloadTest, OwnArchiveFileCannotBeSwappedBeforeItIsUnpacked) {
  ChildRun run = RunInstaller("offline_installer.exe",
                              L"--swap-archive=\"" + Fixture("decoy.7z").native() + L"\"");
  EXPECT_EQ(run.swaps, (std::vector<std::string>{"write refused", "replace refused",
                                                 "rename refused", "delete refused"}));
  EXPECT_EQ(run.statuses, (Statuses{0, 1, 4, 6}));
  EXPECT_EQ(run.files, kOwnFiles);
}

TEST_F(OwnPayloadTest, BrokenOwnArchiveOrPayloadFailsUnpacking) {
  ChildRun broken = RunInstaller("offline_broken_installer.exe");
  EXPECT_EQ(broken.statuses, (Statuses{0, 1, 4, 9}));
  EXPECT_EQ(broken.stats["fetches"][0]["failure_reason"], "Archive unpacking failed");

  // A new try fails the same way; it never turns into a network install.
  ChildRun corrupt = RunInstaller("corrupt_installer.exe", L"--runs=2");
  EXPECT_EQ(corrupt.statuses, (Statuses{0, 1, 9, 0, 1, 9}));
  for (const json& fetch : corrupt.stats["fetches"]) {
    EXPECT_EQ(fetch["failure_reason"], "Corrupted payload");
    EXPECT_EQ(fetch["result"], "unpacking_failed");
  }
  EXPECT_EQ(corrupt.stats["fetcher_restarts"], 2);
  EXPECT_TRUE(service_.Requests().empty());
}

TEST_F(OwnPayloadTest, SignedInstallerAcceptsOnlyTheExpectedPublisher) {
  std::wstring query = L"--internal-package-server=" + service_.Url("/netinstaller/developer");
  ServePackage("full_package_other_signer.exe");
  ChildRun other = RunInstaller("signed_installer.exe", query);
  EXPECT_EQ(other.statuses, (Statuses{0, 1, 2, 3, 8}));
  EXPECT_EQ(other.stats["fetches"][0]["failure_reason"],
            "Signature incorrect for the downloaded package");

  ServePackage("full_package_signed.exe");
  ChildRun signer = RunInstaller("signed_installer.exe", query);
  EXPECT_EQ(signer.statuses, kNetworkSuccess);
  EXPECT_EQ(signer.files.size(), 2u);

  // An unsigned full package fails the signed installer's check too.
  ServePackage("full_package.exe");
  ChildRun unsigned_package = RunInstaller("signed_installer.exe", query);
  EXPECT_EQ(unsigned_package.statuses.back(), kDownloadFailed);
}

}  // namespace
}  // namespace norva::installer
