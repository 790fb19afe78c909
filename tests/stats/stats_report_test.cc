#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/strings.h"
#include "base/task_loop.h"
#include "product/product_info.h"
#include "stats/stats_collector.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "support/test_ui_runner.h"

namespace norva::installer {
namespace {

using nlohmann::json;

CommandLine Switches(const std::wstring& arguments) {
  return CommandLine::FromString(L"installer.exe " + arguments);
}

class StatsReportTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(service_.available()) << "the local autoupdate service is not running";
    ASSERT_TRUE(service_.Reset());
    UseAutoupdateUrl(service_.Url("/", "localhost"));
  }
  void TearDown() override { product::ResetBrandingForTesting(); }

  static void UseAutoupdateUrl(const std::wstring& url) {
    json branding = {{"domain", ".norva.example"}, {"urls", {{"autoupdate", WideToUtf8(url)}}}};
    product::SetBrandingForTesting(branding.dump());
  }

  // Sends the report and runs the loop until its completion; the result of
  // SendReport.
  bool Send(StatsCollector& collector, bool full_retries = true) {
    completions_ = 0;
    bool sent = collector.SendReport([this] { ++completions_; loop_.Quit(); }, full_retries);
    if (sent) test::RunLoopFor(&loop_, std::chrono::seconds(60));
    return sent;
  }

  // The bodies the feedback address received.
  std::vector<std::string> Reports() {
    std::vector<std::string> reports;
    for (const json& request : service_.Requests())
      if (request["path"] == "/netinstaller/feedback" && request["method"] == "POST")
        reports.push_back(request["body"]);
    return reports;
  }

  static void AddChunks(StatsNode fetch, std::vector<std::string> ips) {
    for (const std::string& ip : ips) {
      StatsNode chunk = fetch.AppendRecord("download_chunks");
      if (!ip.empty()) chunk.SetString("ip", ip);
    }
  }

  test::LogCapture log_;
  test::LocalService service_;
  test::ScriptedUIRunner ui_;
  TaskLoop loop_;
  int completions_ = 0;
};

TEST_F(StatsReportTest, PostsOneCompactSortedDocumentWithTheDownloadSummary) {
  StatsCollector collector(false, &ui_, Switches(L""));
  StatsNode root = collector.root();
  AddChunks(root.AppendRecord("fetches"), {"10.0.0.1", "", "10.0.0.2"});
  root.AppendRecord("fetches").SetString("result", "download_failed");  // no chunk list
  AddChunks(root.AppendRecord("fetches"), {"10.0.0.3"});
  root.SetString("zeta", "last");
  root.SetInteger("alpha.beta", 1);

  ASSERT_TRUE(Send(collector));
  EXPECT_EQ(completions_, 1);
  std::vector<std::string> reports = Reports();
  ASSERT_EQ(reports.size(), 1u);
  const std::string& text = reports[0];
  json report = json::parse(text);
  EXPECT_EQ(text, report.dump()) << "not compact or not sorted";
  EXPECT_LT(text.find("\"alpha\""), text.find("\"zeta\""));
  EXPECT_EQ(report["wininet_retries"], 4);
  EXPECT_EQ(report["download_ips"], "10.0.0.1; 10.0.0.2; 10.0.0.3");
  EXPECT_EQ(report["fetches"].size(), 3u);
  EXPECT_EQ(report["version"], "37.0.2163.0");
}

TEST_F(StatsReportTest, SummaryKeysOnlyWhenThereWereFetches) {
  {
    StatsCollector collector(false, &ui_, Switches(L""));
    ASSERT_TRUE(Send(collector));
  }
  {
    StatsCollector collector(false, &ui_, Switches(L""));
    collector.root().AppendRecord("fetches").SetString("result", "package_ready");
    ASSERT_TRUE(Send(collector, false));
  }
  std::vector<std::string> reports = Reports();
  ASSERT_EQ(reports.size(), 2u);
  json without_fetches = json::parse(reports[0]);
  EXPECT_FALSE(without_fetches.contains("wininet_retries"));
  EXPECT_FALSE(without_fetches.contains("download_ips"));
  json without_chunks = json::parse(reports[1]);
  EXPECT_EQ(without_chunks["wininet_retries"], 0);
  EXPECT_EQ(without_chunks["download_ips"], "");
}

TEST_F(StatsReportTest, CompletionRunsAtOnceWhenNothingCanBeSent) {
  // A host outside the report's domains: the downloader refuses to start.
  UseAutoupdateUrl(L"http://elsewhere.test/");
  StatsCollector collector(false, &ui_, Switches(L""));
  EXPECT_FALSE(Send(collector));
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(log_.Contains("Attempting to download from a disallowed domain"));

  // Without a UI runner there is no downloader at all.
  StatsCollector no_runner(false, nullptr, Switches(L""));
  EXPECT_FALSE(Send(no_runner));
  EXPECT_EQ(completions_, 1);
  EXPECT_TRUE(Reports().empty());
}

TEST_F(StatsReportTest, AFailedRequestEndsTheReportToo) {
  ASSERT_TRUE(service_.SetRule({{"path", "/netinstaller/feedback"}, {"default", {{"status", 404}}}}));
  StatsCollector collector(false, &ui_, Switches(L""));
  ASSERT_TRUE(Send(collector, false));
  EXPECT_EQ(completions_, 1);
  EXPECT_EQ(Reports().size(), 1u);
}

}  // namespace
}  // namespace norva::installer
