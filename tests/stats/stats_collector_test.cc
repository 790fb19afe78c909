#include "stats/stats_collector.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>
#include <vector>

#include "product/product_info.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;

json Tree(StatsCollector& collector) { return json::parse(collector.Serialize()); }

bool IsTimeText(const json& value) {
  static const std::regex kPattern(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3})");
  return value.is_string() && std::regex_match(value.get<std::string>(), kPattern);
}

TEST(StatsCollectorTest, ConstructionKeys) {
  StatsCollector collector(false);
  json tree = Tree(collector);
  EXPECT_TRUE(IsTimeText(tree["installer_start_time"]["time"]));
  EXPECT_TRUE(tree["installer_start_time"]["elapsed"].is_number_integer());
  EXPECT_LT(tree["installer_start_time"]["elapsed"].get<int64_t>(), 1000);
  EXPECT_TRUE(IsTimeText(tree["installation_start_time"]));
  EXPECT_EQ(tree["version"], product::ProductVersion());
  EXPECT_EQ(tree["stream"], "developer");
  EXPECT_EQ(tree["product"], "Norva");
  EXPECT_EQ(tree["os"]["name"], "windows");
  // The test prefix reports Windows 10 (or 7 where a case sets it).
  EXPECT_GE(tree["os"]["version"]["major"].get<int>(), 6);
  EXPECT_GT(tree["os"]["version"]["build"].get<int>(), 0);
  EXPECT_TRUE(tree["os"]["service_pack"]["major"].is_number_integer());
  EXPECT_TRUE(tree["os"]["service_pack"]["minor"].is_number_integer());
  EXPECT_FALSE(tree.contains("command_line_args"));
}

TEST(StatsCollectorTest, CommandLineOnlyWithTheFeature) {
  StatsCollector collector(true);
  json tree = Tree(collector);
  ASSERT_TRUE(tree["command_line_args"].is_string());
  // The test runner passes --gtest_brief=1; the program name is left out.
  std::string args = tree["command_line_args"];
  EXPECT_EQ(args.find("stats_tests"), std::string::npos) << args;
}

TEST(StatsCollectorTest, NestedKeysAndValues) {
  StatsCollector collector(false);
  const StatsNode& root = collector.root();
  root.SetString("install.folder", "C:\\Program Files\\Norva");
  root.SetInteger("install.options.for_all_users", 1);
  root.SetInteger("install.options.size", 1LL << 40);
  root.SetString("install.options.language", "nb");
  root.SetString("plain", "first");
  root.SetString("plain", "second");
  json tree = Tree(collector);
  EXPECT_EQ(tree["install"], json({{"folder", "C:\\Program Files\\Norva"},
                                    {"options", {{"for_all_users", 1}, {"size", 1LL << 40},
                                                 {"language", "nb"}}}}));
  EXPECT_EQ(tree["plain"], "second");
  // A value standing where a dictionary is needed is replaced by one.
  root.SetString("plain.child", "x");
  EXPECT_EQ(Tree(collector)["plain"]["child"], "x");
}

TEST(StatsCollectorTest, IncrementCountsFromZero) {
  StatsCollector collector(false);
  const StatsNode& root = collector.root();
  root.Increment("window.option_changes");
  root.Increment("window.option_changes");
  root.SetString("text", "7");
  root.Increment("text");
  root.SetInteger("counter", 41);
  root.Increment("counter");
  json tree = Tree(collector);
  EXPECT_EQ(tree["window"]["option_changes"], 2);
  EXPECT_EQ(tree["text"], 1);
  EXPECT_EQ(tree["counter"], 42);
}

TEST(StatsCollectorTest, RecordsInCallOrderWithTimes) {
  StatsCollector collector(false);
  StatsNode first = collector.root().AppendRecord("fetches");
  StatsNode second = collector.root().AppendRecord("fetches");
  // Nodes stay valid while the list grows past its first capacities.
  std::vector<StatsNode> more;
  for (int i = 0; i < 50; ++i) more.push_back(collector.root().AppendRecord("fetches"));
  first.SetString("url", "https://a");
  first.SetTime("start_time");
  second.SetString("url", "https://b");
  StatsNode chunk = second.AppendRecord("download_chunks");
  chunk.SetString("ip", "127.0.0.1");
  more.back().SetInteger("index", 51);
  json tree = Tree(collector);
  ASSERT_TRUE(tree["fetches"].is_array());
  ASSERT_EQ(tree["fetches"].size(), 52u);
  EXPECT_EQ(tree["fetches"][0]["url"], "https://a");
  EXPECT_TRUE(IsTimeText(tree["fetches"][0]["start_time"]["time"]));
  EXPECT_TRUE(tree["fetches"][0]["start_time"]["elapsed"].is_number_integer());
  EXPECT_EQ(tree["fetches"][1]["url"], "https://b");
  EXPECT_EQ(tree["fetches"][1]["download_chunks"][0]["ip"], "127.0.0.1");
  EXPECT_EQ(tree["fetches"][51]["index"], 51);
  EXPECT_EQ(tree["fetches"][2], json::object());
}

StatsNode::Clock::time_point g_now;

TEST(StatsCollectorTest, ElapsedCountsFromTheCollector) {
  g_now = StatsNode::Clock::now();
  StatsNode::SetClockForTesting([] { return g_now; });
  StatsCollector collector(false);
  g_now += std::chrono::milliseconds(120);
  StatsNode record = collector.root().AppendRecord("fetches");
  record.SetTime("end_time");
  StatsNode::SetClockForTesting(nullptr);
  int64_t elapsed = Tree(collector)["fetches"][0]["end_time"]["elapsed"];
  EXPECT_GE(elapsed, 100);
  EXPECT_LT(elapsed, 10000);
}

TEST(StatsCollectorTest, RecordsAndDictionariesAreNeverReplaced) {
  StatsCollector collector(false);
  StatsNode record = collector.root().AppendRecord("fetches");
  collector.root().SetString("fetches", "oops");
  collector.root().SetString("os", "oops");
  collector.root().Increment("os");
  record.SetString("still", "here");
  // A list cannot be stepped into, and a dictionary cannot become a list.
  collector.root().SetString("fetches.inner", "x");
  EXPECT_FALSE(collector.root().AppendRecord("os").IsValid());
  json tree = Tree(collector);
  EXPECT_EQ(tree["fetches"][0]["still"], "here");
  EXPECT_EQ(tree["os"]["name"], "windows");
  StatsNode nowhere;
  nowhere.SetString("a", "b");
  EXPECT_FALSE(nowhere.AppendRecord("a").IsValid());
}

TEST(StatsCollectorTest, SerializationIsCompactSortedAndSafe) {
  StatsCollector collector(false);
  collector.root().SetString("b", "2");
  collector.root().SetInteger("a", 1);
  collector.root().SetString("B", "upper");
  collector.root().SetString("c.z", "");
  collector.root().SetString("c.y", "\xFF not utf-8");
  std::string text = collector.Serialize();
  // Byte order: upper case first, then the construction keys after "c".
  EXPECT_EQ(text.rfind(R"({"B":"upper","a":1,"b":"2","c":{"y":")", 0), 0u) << text;
  EXPECT_NE(text.find(R"( not utf-8","z":""},"installation_start_time":")"), std::string::npos)
      << text;
  EXPECT_EQ(text.find(": "), std::string::npos);
  EXPECT_EQ(text.find(", "), std::string::npos);
}

TEST(StatsCollectorTest, WithRootSeesTheTreeUnderTheLock) {
  StatsCollector collector(false);
  collector.root().SetString("failure_reason", "download");
  collector.WithRoot([](json& root) { root.erase("failure_reason"); });
  collector.root().SetInteger("installation_success", 1);
  json tree = Tree(collector);
  EXPECT_FALSE(tree.contains("failure_reason"));
  EXPECT_EQ(tree["installation_success"], 1);
}

TEST(StatsCollectorTest, ConcurrentWritersUnderTheLock) {
  StatsCollector collector(false);
  constexpr int kThreads = 6, kRounds = 400;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&collector, t] {
      for (int i = 0; i < kRounds; ++i) {
        collector.root().Increment("shared.counter");
        StatsNode record = collector.root().AppendRecord("records");
        record.SetInteger("thread", t);
        record.SetInteger("round", i);
        collector.root().SetString("thread_" + std::to_string(t) + ".last", std::to_string(i));
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  json tree = Tree(collector);
  EXPECT_EQ(tree["shared"]["counter"], kThreads * kRounds);
  ASSERT_EQ(tree["records"].size(), static_cast<size_t>(kThreads * kRounds));
  std::vector<int> next(kThreads, 0);
  for (const json& record : tree["records"]) {
    int t = record["thread"];
    // Each thread's records keep their order.
    EXPECT_EQ(record["round"], next[t]++);
  }
  for (int t = 0; t < kThreads; ++t)
    EXPECT_EQ(tree["thread_" + std::to_string(t)]["last"], std::to_string(kRounds - 1));
}

}  // namespace
}  // namespace norva::installer
