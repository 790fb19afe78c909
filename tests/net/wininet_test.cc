#include <winsock2.h>

#include "net/wininet.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <random>
#include <thread>

#include "base/strings.h"
#include "base/task_loop.h"
#include "net/download_progress.h"
#include "net/ui_callback_runner.h"
#include "stats/download_stats.h"
#include "stats/stats_collector.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "support/test_ui_runner.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using nlohmann::json;
using test::LocalService;
using test::ScriptedUIRunner;

class RecordingDelegate : public DownloadProgress {
 public:
  void SetTotalProgress(int total) override { total_ = total; }
  void SetCurrentProgress(int current) override { current_ = current; }
  void NotifyStalled() override { ++stalled_; }

  int total_ = -1;
  int current_ = -1;
  int stalled_ = 0;
};

// A writer that takes `limit` bytes and refuses the rest.
class LimitedWriter : public ResponseWriter {
 public:
  explicit LimitedWriter(size_t limit) : limit_(limit) {}
  bool Write(const char*, size_t size) override {
    written_ += size;
    return written_ <= limit_;
  }

 private:
  size_t limit_;
  size_t written_ = 0;
};

std::string RandomBytes(size_t size) {
  std::mt19937 generator(static_cast<unsigned>(size));
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(generator());
  return bytes;
}

int CountLines(const test::LogCapture& log, const std::string& text) {
  int count = 0;
  for (const std::string& line : log.Lines())
    if (line.find(text) != std::string::npos) ++count;
  return count;
}

constexpr size_t kFileSize = 200 * 1024;

class WininetTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "the local autoupdate service is not running";
    ASSERT_TRUE(service_.Reset());
    content_ = RandomBytes(kFileSize);
    service_.PutFile("package.bin", content_);
    downloader_.set_allowed_domains({L".norva.example", L"localhost", L"127.0.0.1"});
  }

  // Starts a download into `output_` and runs the loop until its completion
  // callback (false when Start refused).
  bool Download(const std::wstring& url, std::string body = {},
                std::unique_ptr<ResponseWriter> writer = nullptr) {
    if (!writer) {
      auto file = std::make_unique<FileResponseWriter>();
      EXPECT_TRUE(file->Open(output_));
      writer = std::move(file);
    }
    auto stats = std::make_unique<ChunkStats>(collector_.root(), "download_chunks");
    if (!downloader_.Start(url, std::move(body), [this] { ++completions_; loop_.Quit(); },
                           std::move(writer), std::move(stats)))
      return false;
    RunFor(std::chrono::seconds(60));
    return true;
  }

  void RunFor(std::chrono::milliseconds limit) {
    bool ended = test::RunLoopFor(&loop_, limit);
    if (limit > std::chrono::seconds(5)) {
      EXPECT_TRUE(ended) << "the download never ended";
    }
  }

  json Chunks() {
    json tree = json::parse(collector_.Serialize());
    return tree.contains("download_chunks") ? tree["download_chunks"] : json::array();
  }

  std::vector<std::string> RangesRequested(const std::string& path) {
    std::vector<std::string> ranges;
    for (const json& request : service_.Requests())
      if (request["path"] == path)
        ranges.push_back(request["range"].is_string() ? request["range"].get<std::string>() : "");
    return ranges;
  }

  test::LogCapture log_;
  test::ScratchFolder scratch_;
  std::filesystem::path output_ = scratch_.path() / L"download.bin";
  LocalService service_;
  TaskLoop loop_;
  StatsCollector collector_{false};
  RecordingDelegate delegate_;
  ScriptedUIRunner ui_;
  std::string content_;
  int completions_ = 0;
  Wininet downloader_{&ui_, &delegate_, std::chrono::milliseconds(50)};
};

TEST(WininetHostTest, AllowsOnlyHostsEndingWithASuffix) {
  const std::vector<std::wstring> allowed = {L".norva.example", L"127.0.0.1"};
  EXPECT_TRUE(IsHostAllowed(L"anything.test", {}));
  EXPECT_TRUE(IsHostAllowed(L"get.norva.example", allowed));
  EXPECT_TRUE(IsHostAllowed(L"127.0.0.1", allowed));
  EXPECT_FALSE(IsHostAllowed(L"get.norva.example.evil.test", allowed));
  EXPECT_FALSE(IsHostAllowed(L"norva.example", allowed));  // shorter than the suffix
  EXPECT_FALSE(IsHostAllowed(L"1", allowed));
  EXPECT_FALSE(IsHostAllowed(L"GET.NORVA.EXAMPLE", allowed));  // compared exactly
  EXPECT_FALSE(IsHostAllowed(L"localhost", allowed));
}

TEST_F(WininetTest, DownloadsIntoFileAndRecordsTheChunk) {
  ASSERT_TRUE(Download(service_.Url("/package.bin")));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  EXPECT_TRUE(test::ReadFile(output_) == content_) << "the download differs from the file served";
  EXPECT_EQ(delegate_.total_, static_cast<int>(kFileSize));
  EXPECT_EQ(delegate_.current_, static_cast<int>(kFileSize));

  json requests = service_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"], "GET");
  EXPECT_EQ(requests[0]["user_agent"], "Norva NetInstaller/37.0.2163.0");
  EXPECT_TRUE(requests[0]["range"].is_null());

  json chunks = Chunks();
  ASSERT_EQ(chunks.size(), 1u);
  EXPECT_EQ(chunks[0]["chunk_start"], 0);
  EXPECT_EQ(chunks[0]["chunk_end"], kFileSize);
  EXPECT_EQ(chunks[0]["chunk_number"], 0);
  EXPECT_EQ(chunks[0]["http_status"], 200);
  EXPECT_EQ(chunks[0]["wininet_error"], 0);
  EXPECT_EQ(chunks[0]["ip"], "127.0.0.1");
  EXPECT_EQ(chunks[0]["headers"]["X-Served-By"], "norva-local");
  EXPECT_FALSE(chunks[0]["headers"]["Date"].get<std::string>().empty());
  EXPECT_TRUE(chunks[0]["chunk_start_time"].contains("elapsed"));
  EXPECT_TRUE(chunks[0]["chunk_end_time"].contains("time"));

  // The package is written once, into our file, never into the user's
  // internet cache as well.
  DeleteUrlCacheEntryW(service_.Url("/package.bin").c_str());
  DWORD size = 0;
  // The same downloader serves the next request.
  ASSERT_TRUE(Download(service_.Url("/package.bin")));
  EXPECT_FALSE(GetUrlCacheEntryInfoW(service_.Url("/package.bin").c_str(), nullptr, &size));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(completions_, 2);
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  EXPECT_EQ(Chunks().size(), 2u);
}

TEST_F(WininetTest, PostsTheBodyAndKeepsOnlyTheOutcomeWithAPrefix) {
  ASSERT_TRUE(service_.SetReply({{"stream", "developer"}, {"installer_file", "package.bin"}}));
  std::string reply;
  StatsNode fetch = collector_.root().AppendRecord("fetches");
  ASSERT_TRUE(downloader_.Start(service_.Url("/netinstaller/developer"), "tracking-blob",
                                [this] { ++completions_; loop_.Quit(); },
                                std::make_unique<StringResponseWriter>(&reply),
                                std::make_unique<PrefixedDownloadStats>(fetch, "fetch_download_url_")));
  RunFor(std::chrono::seconds(60));
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  json parsed = json::parse(reply, nullptr, false);
  ASSERT_TRUE(parsed.is_object()) << reply;
  EXPECT_EQ(parsed["installer"], WideToUtf8(service_.Url("/package.bin")));

  json requests = service_.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0]["method"], "POST");
  EXPECT_EQ(requests[0]["body"], "tracking-blob");

  json record = json::parse(collector_.Serialize())["fetches"][0];
  EXPECT_EQ(record, json({{"fetch_download_url_http_status", 200},
                          {"fetch_download_url_wininet_error", 0}}));
}

// How the service answers for a file, and what a download of it then does.
struct Scenario {
  const char* name;
  json rule;                        // the answers, as SetRule takes them, without the path
  std::vector<std::string> ranges;  // the range of each request, "" where none
  Wininet::State state = Wininet::kCompleted;
  size_t kept = kFileSize;   // the length of the file's start the download holds
  std::optional<int> total;  // the length announced, where checked
  int max_retries = 600;
  int retries = 0;  // lines "Retrying "
  int stalled = 0;
  std::vector<std::pair<const char*, int>> logged;  // texts, and how many lines hold each
  std::vector<json> chunks;  // some fields of each chunk record; none: not checked
  std::string path = "/package.bin";
  bool secure = false;
};

const Scenario kScenarios[] = {
    {.name = "EarlyEndResumesWithARangeAndNoRetry",
     .rule = {{"responses", {{{"cut_at", 3000}}}}},
     .ranges = {"", "bytes=3000-"},
     .chunks = {{{"chunk_end", 3000}},
                {{"chunk_start", 3000}, {"chunk_number", 1}, {"http_status", 206},
                 {"retry_count", 0}, {"chunk_end", kFileSize}}}},
    // Every answer promises the file and sends none of it: without a limit
    // the resumes would go on for ever.
    {.name = "BodiesThatNeverArriveAreCountedRetries",
     .rule = {{"default", {{"cut_at", 0}}}},
     .ranges = {"", "bytes=0-", "bytes=0-", "bytes=0-"},
     .state = Wininet::kFailed, .kept = 0, .max_retries = 2, .retries = 3, .stalled = 2,
     .logged = {{"Retrying 2 of 2", 1}}},
    // A body cut short after some bytes still resumes at once, and the bytes
    // end the run of retries.
    {.name = "BytesAfterAnEmptyBodyEndTheRetries",
     .rule = {{"responses", {{{"cut_at", 0}}, {{"cut_at", 3000}}}}},
     .ranges = {"", "bytes=0-", "bytes=3000-"}, .retries = 1},
    // After a refused first request the whole body comes as a partial reply;
    // a cut in it is still a cut.
    {.name = "CutAfterARefusalIsStillACut",
     .rule = {{"responses", {{{"status", 503}}, {{"cut_at", 3000}}}}},
     .ranges = {"", "bytes=0-", "bytes=3000-"}, .total = kFileSize, .retries = 1},
    // Four failures with at most one retry: only the bytes in the middle
    // keep the download alive.
    {.name = "BytesBetweenFailuresStartANewRunOfRetries",
     .rule = {{"responses", {{{"status", 503}}, {{"status", 503}}, {{"cut_at", 3000}},
                             {{"status", 503}}, {{"status", 503}}}}},
     .ranges = {"", "bytes=0-", "bytes=0-", "bytes=3000-", "bytes=3000-", "bytes=3000-"},
     .max_retries = 1, .retries = 4, .logged = {{"Retrying 0 of 1", 2}, {"Retrying 1 of 1", 2}}},
    {.name = "WholeBodyAnsweringARangeIsNotAppendedTwice",
     .rule = {{"responses", {{{"cut_at", 3000}}, {{"ignore_range", true}}}}},
     .ranges = {"", "bytes=3000-"},
     .logged = {{"Range not honoured; skipping the first 3000 bytes", 1}},
     .chunks = {{}, {{"http_status", 200}}}},
    {.name = "BodyWithoutLengthCompletesAtItsFirstEnd",
     .rule = {{"responses", {{{"cut_at", 3000}, {"no_length", true}}}}},
     .ranges = {""}, .kept = 3000, .total = 0},
    // The first retry opens a chunk record; later consecutive ones reuse it.
    // The stall is reported only before the third retry.
    {.name = "RetriesGatewayErrorsAndReportsTheStall",
     .rule = {{"responses", {{{"status", 502}}, {{"status", 503}}, {{"status", 504}}}}},
     .ranges = {"", "bytes=0-", "bytes=0-", "bytes=0-"}, .total = kFileSize, .retries = 3,
     .stalled = 1,
     .logged = {{"Download failed with 503 error", 1}, {"Retrying 0 of 600", 1},
                {"Retrying 2 of 600", 1}},
     .chunks = {{{"http_status", 502}}, {{"http_status", 206}, {"retry_count", 3}}}},
    {.name = "UnexpectedStatusFailsAtOnce", .ranges = {""}, .state = Wininet::kFailed, .kept = 0,
     .logged = {{"Request completed with an unexpected HTTP status", 1}},
     .chunks = {{{"http_status", 404}}}, .path = "/missing.bin"},
    {.name = "UntrustedCertificateFailsTheDownload", .state = Wininet::kFailed, .kept = 0,
     .logged = {{"Request completed with an unexpected error: ", 1}},
     .chunks = {{{"wininet_error", ERROR_INTERNET_INVALID_CA}}}, .secure = true},
};

void PrintTo(const Scenario& scenario, std::ostream* out) { *out << scenario.name; }

class WininetScenarioTest : public WininetTest, public testing::WithParamInterface<Scenario> {};

TEST_P(WininetScenarioTest, Download) {
  const Scenario& s = GetParam();
  if (!s.rule.is_null()) {
    json rule = s.rule;
    rule["path"] = s.path;
    ASSERT_TRUE(service_.SetRule(rule));
  }
  downloader_.set_max_retries(s.max_retries);
  ASSERT_TRUE(Download(s.secure ? service_.SecureUrl(s.path) : service_.Url(s.path)));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(downloader_.state(), s.state);
  EXPECT_TRUE(test::ReadFile(output_) == content_.substr(0, s.kept))
      << "the download is not the start of the file served";
  EXPECT_EQ(RangesRequested(s.path), s.ranges);
  EXPECT_EQ(CountLines(log_, "Retrying "), s.retries);
  EXPECT_EQ(delegate_.stalled_, s.stalled);
  for (const auto& [text, lines] : s.logged) EXPECT_EQ(CountLines(log_, text), lines) << text;
  if (s.total) {
    EXPECT_EQ(delegate_.total_, *s.total);
  }
  if (s.state == Wininet::kCompleted) {
    EXPECT_EQ(delegate_.current_, static_cast<int>(s.kept));
    EXPECT_EQ(downloader_.retry_count(), 0);
  }
  if (s.chunks.empty()) return;
  json chunks = Chunks();
  ASSERT_EQ(chunks.size(), s.chunks.size());
  for (size_t i = 0; i < chunks.size(); ++i)
    for (const auto& [key, value] : s.chunks[i].items())
      EXPECT_EQ(chunks[i][key], value) << "chunk " << i << " " << key;
}

INSTANTIATE_TEST_SUITE_P(, WininetScenarioTest, testing::ValuesIn(kScenarios),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(WininetTest, ResetConnectionResumesFromWhereItStopped) {
  ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"responses", {{{"reset_at", 70000}}}}}));
  ASSERT_TRUE(Download(service_.Url("/package.bin")));
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  EXPECT_TRUE(test::ReadFile(output_) == content_) << "the download differs from the file served";
  EXPECT_EQ(downloader_.retry_count(), 0);

  // The reset may swallow bytes the client had not read yet, and depending
  // on whether a read was waiting WinINet reports a connection error (a
  // counted retry) or just the end of data. Either way the next request
  // starts where the file ends.
  json chunks = Chunks();
  ASSERT_EQ(chunks.size(), 2u);
  int offset = chunks[0]["chunk_end"].get<int>();
  EXPECT_GT(offset, 0);
  EXPECT_LE(offset, 70000);
  EXPECT_EQ(RangesRequested("/package.bin"),
            (std::vector<std::string>{"", StringPrintf("bytes=%d-", offset)}));
  EXPECT_EQ(chunks[1]["chunk_start"], offset);
  bool retried = log_.Contains("Retrying 0 of 600");
  EXPECT_EQ(chunks[0]["wininet_error"] != 0, retried);
  EXPECT_EQ(chunks[1]["retry_count"], retried ? 1 : 0);
}

TEST_F(WininetTest, AFailedResumeMayStartTheNextDownloadFromItsCompletion) {
  // The resume after the cut cannot be sent, and the completion of that
  // failure starts the next download at once: it must not wait for the
  // abandoned session while that session's notifications are locked out.
  ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"responses", {{{"cut_at", 3000}}}}}));
  std::string next;
  ASSERT_TRUE(downloader_.Start(
      service_.Url("/package.bin"), {},
      [this, &next] {
        SetSendResultForTesting(std::nullopt);
        EXPECT_EQ(downloader_.state(), Wininet::kFailed);
        EXPECT_TRUE(downloader_.Start(service_.Url("/package.bin"), {}, [this] { loop_.Quit(); },
                                      std::make_unique<StringResponseWriter>(&next),
                                      std::make_unique<NullDownloadStats>()));
      },
      std::make_unique<ResponseWriter>(), std::make_unique<NullDownloadStats>()));
  SetSendResultForTesting(ERROR_INTERNET_CANNOT_CONNECT);
  RunFor(std::chrono::seconds(60));
  SetSendResultForTesting(std::nullopt);
  EXPECT_TRUE(log_.Contains("Could not resume downloading"));
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  EXPECT_TRUE(next == content_) << "the next download differs from the file served";
}

TEST_F(WininetTest, FailsAfterTheRetryMaximum) {
  // As the statistics report does: a POST with at most two retries.
  ASSERT_TRUE(service_.SetRule({{"path", "/netinstaller/feedback"}, {"default", {{"status", 503}}}}));
  downloader_.set_max_retries(2);
  ASSERT_TRUE(Download(service_.Url("/netinstaller/feedback"), "{\"report\":1}",
                       std::make_unique<ResponseWriter>()));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(downloader_.state(), Wininet::kFailed);
  EXPECT_EQ(CountLines(log_, "Retrying "), 3);
  EXPECT_TRUE(log_.Contains("Retrying 2 of 2"));
  EXPECT_FALSE(log_.Contains("Retrying 3 of 2"));
  EXPECT_EQ(delegate_.stalled_, 2);  // before the third retry and before giving up

  // Every attempt carries the same body.
  json requests = service_.Requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const json& request : requests) {
    EXPECT_EQ(request["method"], "POST");
    EXPECT_EQ(request["body"], "{\"report\":1}");
  }
}

TEST_F(WininetTest, RetriesWaitSixSecondsByDefault) {
  Wininet downloader(&ui_, &delegate_);
  ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"responses", {{{"status", 503}}}}}));
  auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(downloader.Start(service_.Url("/package.bin"), {}, [this] { loop_.Quit(); },
                               std::make_unique<ResponseWriter>(),
                               std::make_unique<NullDownloadStats>()));
  RunFor(std::chrono::seconds(60));
  EXPECT_EQ(downloader.state(), Wininet::kCompleted);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
  EXPECT_EQ(downloader.max_retries(), 600);
}

TEST_F(WininetTest, UnreachableServerIsAConnectivityRetry) {
  // A port that was free a moment ago refuses the connection.
  WSADATA data;
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
  SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof(address);
  ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
  closesocket(probe);
  WSACleanup();

  downloader_.set_max_retries(0);
  ASSERT_TRUE(Download(StringPrintf(L"http://127.0.0.1:%d/package.bin", ntohs(address.sin_port))));
  EXPECT_EQ(downloader_.state(), Wininet::kFailed);
  EXPECT_TRUE(log_.Contains("indicating connectivity issues: 12029"));
  EXPECT_EQ(CountLines(log_, "Retrying 0 of 0"), 1);
  EXPECT_EQ(Chunks()[0]["wininet_error"], 12029);
}

TEST_F(WininetTest, StopNeverRunsTheCompletion) {
  ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"default", {{"trickle", {4096, 0.02}}}}}));
  auto file = std::make_unique<FileResponseWriter>();
  ASSERT_TRUE(file->Open(output_));
  ASSERT_TRUE(downloader_.Start(service_.Url("/package.bin"), {}, [this] { ++completions_; },
                                std::move(file), std::make_unique<NullDownloadStats>()));
  ASSERT_TRUE(test::RunLoopUntil(&loop_, [&] { return delegate_.current_ > 0; }));
  downloader_.Stop();
  EXPECT_EQ(downloader_.state(), Wininet::kStopped);
  RunFor(std::chrono::milliseconds(500));
  EXPECT_EQ(completions_, 0);
  EXPECT_EQ(downloader_.state(), Wininet::kStopped);
  EXPECT_GT(delegate_.current_, 0);
  EXPECT_LT(delegate_.current_, static_cast<int>(kFileSize));

  // A downloader destroyed in the middle of a transfer neither hangs nor
  // calls back.
  {
    Wininet doomed(&ui_, &delegate_);
    ASSERT_TRUE(doomed.Start(service_.Url("/package.bin"), {}, [this] { ++completions_; },
                             std::make_unique<ResponseWriter>(),
                             std::make_unique<NullDownloadStats>()));
    RunFor(std::chrono::milliseconds(200));
  }
  RunFor(std::chrono::milliseconds(300));
  EXPECT_EQ(completions_, 0);

  // Stopped while a retry waits: the retry never happens.
  ASSERT_TRUE(service_.Reset());
  ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"responses", {{{"status", 503}}}}}));
  {
    Wininet waiting(&ui_, &delegate_, std::chrono::seconds(1));
    const int retries = CountLines(log_, "Retrying ");
    ASSERT_TRUE(waiting.Start(service_.Url("/package.bin"), {}, [this] { ++completions_; },
                              std::make_unique<ResponseWriter>(),
                              std::make_unique<NullDownloadStats>()));
    ASSERT_TRUE(test::RunLoopUntil(&loop_, [&] { return CountLines(log_, "Retrying ") > retries; }));
    waiting.Stop();
    RunFor(std::chrono::milliseconds(1500));
    EXPECT_EQ(waiting.state(), Wininet::kStopped);
  }
  EXPECT_EQ(completions_, 0);
  EXPECT_EQ(RangesRequested("/package.bin").size(), 1u);
}

TEST_F(WininetTest, SurvivesStopsAtEveryMoment) {
  // Stops and restarts land before the connection, between notifications
  // and in the middle of reads; none may hang, crash or call back.
  ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"default", {{"trickle", {8192, 0.005}}}}}));
  for (int i = 0; i < 24; ++i) {
    SCOPED_TRACE(i);
    ASSERT_TRUE(downloader_.Start(service_.Url("/package.bin"), {}, [this] { ++completions_; },
                                  std::make_unique<ResponseWriter>(),
                                  std::make_unique<ChunkStats>(collector_.root(), "chunks")));
    if (i % 3) RunFor(std::chrono::milliseconds(i * 4));
    if (i % 2) downloader_.Stop();  // otherwise the next Start abandons it
  }
  downloader_.Stop();
  RunFor(std::chrono::milliseconds(200));
  EXPECT_EQ(completions_, 0);

  ASSERT_TRUE(service_.Reset());
  ASSERT_TRUE(Download(service_.Url("/package.bin")));
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(test::ReadFile(output_) == content_) << "the download differs from the file served";
}

TEST_F(WininetTest, RefusesRedirectsToHostsNotAllowed) {
  downloader_.set_allowed_domains({L"127.0.0.1"});
  std::string target = WideToUtf8(service_.Url("/package.bin", "localhost"));
  ASSERT_TRUE(service_.SetRule({{"path", "/moved.bin"}, {"default", {{"redirect", target}}}}));
  ASSERT_TRUE(Download(service_.Url("/moved.bin")));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(downloader_.state(), Wininet::kFailed);
  EXPECT_TRUE(log_.Contains("Attempting to redirect to a disallowed domain: localhost"));
  EXPECT_EQ(Chunks()[0]["redirected_url"], target);
  // WinINet may already have sent the redirected request (it does not stop
  // for handles closed inside the notification), but nothing of its answer
  // reaches the writer.
  EXPECT_EQ(test::ReadFile(output_), "");

  // A redirect within the allowed hosts is followed.
  target = WideToUtf8(service_.Url("/package.bin"));
  ASSERT_TRUE(service_.SetRule({{"path", "/moved.bin"}, {"default", {{"redirect", target}}}}));
  ASSERT_TRUE(Download(service_.Url("/moved.bin")));
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  EXPECT_TRUE(test::ReadFile(output_) == content_) << "the download differs from the file served";
  EXPECT_EQ(Chunks()[1]["redirected_url"], target);
}

TEST_F(WininetTest, AsksForProxyCredentialsThroughTheUIRunner) {
  struct Case {
    int result;
    Wininet::State state;
    const char* log;
  };
  const Case cases[] = {
      {ERROR_INTERNET_FORCE_RETRY, Wininet::kCompleted, "Logged in to proxy - resuming download"},
      {ERROR_CANCELLED, Wininet::kFailed, "The user cancelled the prompt for proxy credentials"},
      {0, Wininet::kFailed, "The user cancelled the prompt for proxy credentials"},
      {ERROR_INVALID_HANDLE, Wininet::kFailed, "Failed to obtain credentials for proxy"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    ASSERT_TRUE(service_.Reset());
    ASSERT_TRUE(service_.SetRule({{"path", "/package.bin"}, {"responses", {{{"proxy_auth", true}}}}}));
    test::LogCapture log;
    ui_.result_ = c.result;
    ui_.calls_ = 0;
    completions_ = 0;
    ASSERT_TRUE(Download(service_.Url("/package.bin")));
    EXPECT_EQ(ui_.calls_, 1);
    EXPECT_EQ(completions_, 1);
    EXPECT_EQ(downloader_.state(), c.state);
    EXPECT_TRUE(log.Contains("proxy authentication request"));
    EXPECT_TRUE(log.Contains(c.log));
    EXPECT_EQ(RangesRequested("/package.bin").size(), c.state == Wininet::kCompleted ? 2u : 1u);
  }
  // The first case resumed into a chunk record of its own.
  json chunks = Chunks();
  ASSERT_EQ(chunks.size(), 5u);
  EXPECT_EQ(chunks[0]["http_status"], 407);
  EXPECT_EQ(chunks[1]["http_status"], 206);
  EXPECT_EQ(chunks[1]["retry_count"], 0);
  EXPECT_EQ(test::ReadFile(output_), "");  // the last case failed before any body
}

TEST_F(WininetTest, RefusedStartsSendNothing) {
  auto start = [this](const std::wstring& url, bool with_writer) {
    return downloader_.Start(url, {}, [this] { ++completions_; },
                             with_writer ? std::make_unique<ResponseWriter>() : nullptr,
                             std::make_unique<NullDownloadStats>());
  };
  EXPECT_FALSE(start(L"http://downloads.example.test/package.bin", true));
  EXPECT_TRUE(log_.Contains("Attempting to download from a disallowed domain"));
  EXPECT_FALSE(start(L"not a url", true));
  EXPECT_TRUE(log_.Contains("Could not parse URL"));
  EXPECT_FALSE(start(service_.Url("/package.bin"), false));
  bool started_without_loop = true;
  std::thread([&] { started_without_loop = start(service_.Url("/package.bin"), true); }).join();
  EXPECT_FALSE(started_without_loop);
  RunFor(std::chrono::milliseconds(300));
  EXPECT_EQ(completions_, 0);
  EXPECT_EQ(service_.Requests().size(), 0u);
}

TEST_F(WininetTest, WriterRefusalFailsTheDownload) {
  ASSERT_TRUE(Download(service_.Url("/package.bin"), {}, std::make_unique<LimitedWriter>(10000)));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(downloader_.state(), Wininet::kFailed);
  EXPECT_LT(delegate_.current_, static_cast<int>(kFileSize));

  FileResponseWriter file;
  EXPECT_FALSE(file.Open(scratch_.path() / L"no such folder" / L"file.bin"));
  EXPECT_TRUE(log_.Contains("Could not open download file for writing"));
  EXPECT_FALSE(file.Write("x", 1));
}

TEST_F(WininetTest, ATextReplyIsHeldOnlyUpToItsLimit) {
  // The server decides how long a reply is; a text reply lives in memory.
  std::string huge = RandomBytes(StringResponseWriter::kDefaultLimit + 1);
  service_.PutFile("huge.json", huge);
  std::string reply;
  ASSERT_TRUE(Download(service_.Url("/huge.json"), {},
                       std::make_unique<StringResponseWriter>(&reply)));
  EXPECT_EQ(downloader_.state(), Wininet::kFailed);
  EXPECT_LE(reply.size(), StringResponseWriter::kDefaultLimit);

  // Up to the limit, every byte is kept.
  std::string exact;
  completions_ = 0;
  ASSERT_TRUE(Download(service_.Url("/package.bin"), {},
                       std::make_unique<StringResponseWriter>(&exact, kFileSize)));
  EXPECT_EQ(downloader_.state(), Wininet::kCompleted);
  EXPECT_TRUE(exact == content_);
}

}  // namespace
}  // namespace norva::installer
