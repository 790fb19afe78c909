#include "base/json_pref_store.h"

#include <gtest/gtest.h>

#include <atomic>

#include "base/worker_pool.h"
#include "support/scratch.h"
#include "support/wait.h"
#include "support/thread_violations.h"

namespace norva::installer {
namespace {

using nlohmann::json;
using test::ReadFile;
using test::ScratchFolder;
using test::WriteFile;

const std::string kInvalidUtf8 = "bad \xC3\x28 text \xFF";

// What is read, as written back; empty where the text must be refused.
TEST(JsonTest, ReadsWhatTheJsonGrammarAllowsOnly) {
  using namespace std::string_literals;
  auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  const std::pair<std::string, std::string> cases[] = {
      {"18446744073709551615", "18446744073709551615"},
      {"18446744073709551616", "1.8446744073709552e+19"},
      {"-9223372036854775808", "-9223372036854775808"},
      {"-9223372036854775809", "-9.223372036854776e+18"},
      {" [0.1, 2.5E3, 1e-7, -0] ", "[0.1,2500.0,1e-07,0]"},
      {"1e400", ""}, {"01", ""}, {"1.", ""}, {".5", ""}, {"+1", ""}, {"-", ""},
      {R"("\ud83d\ude00 \u00e9\n\/")", "\"\xF0\x9F\x98\x80 \xC3\xA9\\n/\""},
      {R"("\ud83d")", ""}, {R"("\ude00")", ""},
      {"\"\xED\xA0\x80\"", ""},      // a surrogate in UTF-8
      {"\"\xC0\xAF\"", ""},          // overlong
      {"\"\xF4\x90\x80\x80\"", ""},  // above U+10FFFF
      {"\"tab\there\"", ""},
      {"\xEF\xBB\xBF{}", "{}"},
      {R"({"a": 1, "a": [true, false, null]})", R"({"a":[true,false,null]})"},
      {"[1]\0tail"s, "[1]"},
      {"[1] 2", ""}, {"{\"a\" 1}", ""}, {"{\"a\": ", ""}, {"", ""},
      {"{\"a\": \"" + kInvalidUtf8 + "\"}", ""},
      {R"({"a": [1, "two", {"b": null}]})", R"({"a":[1,"two",{"b":null}]})"},
      {R"({"text": "[[[[\"{{{{"})", R"({"text":"[[[[\"{{{{"})"},
      {nested(150), nested(150)},
      // Deep nesting is refused instead of exhausting the stack later.
      {nested(200000), ""},
  };
  for (const auto& [text, expected] : cases) {
    json value = "stale";
    bool read = ParseJson(text, &value);
    EXPECT_EQ(read ? WriteJson(value) : "", expected) << text.substr(0, 100);
    EXPECT_TRUE(read || value.is_null()) << text.substr(0, 100);
  }
}

TEST(JsonTest, WritesInvalidUtf8AsReplacementCharacters) {
  json value = {{"text", kInvalidUtf8}};
  std::string written = WriteJson(value);
  EXPECT_NE(written.find("\xEF\xBF\xBD"), std::string::npos);
  json back;
  EXPECT_TRUE(ParseJson(written, &back));
  EXPECT_EQ(WriteJson(json::array({1, 2}), true), "[\n  1,\n  2\n]");
}

class JsonPrefStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { pool_ = WorkerPool::Create("PrefsTaskPool"); }
  void TearDown() override { pool_->Shutdown(); }
  std::filesystem::path File() const { return scratch_.path() / L"installer_prefs.json"; }
  json ReadBack() const {
    json value;
    EXPECT_TRUE(ReadJsonFile(File(), &value));
    return value;
  }

  ScratchFolder scratch_;
  std::shared_ptr<WorkerPool> pool_;
};

TEST_F(JsonPrefStoreTest, MissingFileGivesAnEmptyStoreAndWritesNothing) {
  {
    JsonPrefStore store(File(), pool_);
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(store.GetValue("anything"), nullptr);
    EXPECT_EQ(store.GetString("language", "en"), "en");
    EXPECT_FALSE(store.HasChanges());
  }
  pool_->Shutdown();
  EXPECT_FALSE(std::filesystem::exists(File()));
}

TEST_F(JsonPrefStoreTest, CorruptFileGivesAnEmptyStoreAndIsReplacedOnlyOnChange) {
  WriteFile(File(), "{\"language\": \"de\", ");
  {
    JsonPrefStore store(File(), pool_);
    EXPECT_FALSE(store.Load());
    EXPECT_EQ(store.GetValue("language"), nullptr);
  }
  pool_->Shutdown();
  EXPECT_EQ(ReadFile(File()), "{\"language\": \"de\", ");

  WriteFile(File(), "[1, 2]");
  pool_ = WorkerPool::Create("PrefsTaskPool");
  {
    JsonPrefStore store(File(), pool_);
    EXPECT_FALSE(store.Load());
    store.SetValue("language", "fr");
  }
  pool_->Shutdown();
  EXPECT_EQ(ReadBack(), json({{"language", "fr"}}));
}

TEST_F(JsonPrefStoreTest, DottedKeysReadAndWriteNestedObjects) {
  WriteFile(File(), R"({"intl": {"app_locale": "pl"}, "count": 3, "big": 5000000000,
                       "flag": true, "list": ["x@1"], "plain": "text"})");
  JsonPrefStore store(File(), pool_);
  ASSERT_TRUE(store.Load());
  EXPECT_EQ(store.GetString("intl.app_locale"), "pl");
  EXPECT_EQ(store.GetInt("count"), 3);
  EXPECT_EQ(store.GetInt("big", -1), -1);
  EXPECT_EQ(store.GetInt("plain", 7), 7);
  EXPECT_TRUE(store.GetBool("flag"));
  EXPECT_TRUE(store.GetBool("count", true));
  EXPECT_EQ(store.GetList("list"), json::array({"x@1"}));
  EXPECT_EQ(store.GetList("plain"), json::array());
  EXPECT_EQ(store.GetValue("intl.app_locale.deeper"), nullptr);
  EXPECT_EQ(store.GetValue(""), nullptr);
  EXPECT_EQ(store.GetValue("intl..app_locale"), nullptr);

  store.SetValue("intl.app_locale", "pl");
  EXPECT_FALSE(store.HasChanges());  // same value
  store.SetValue("custom_partner_content.updated", true);
  store.SetValue("plain.inner", 1);  // replaces the string by an object
  store.SetValue("a..b", 1);
  store.RemoveValue("missing.key");
  EXPECT_TRUE(store.HasChanges());
  EXPECT_TRUE(store.GetBool("custom_partner_content.updated"));
  EXPECT_EQ(store.GetInt("plain.inner"), 1);

  store.RemoveValue("intl.app_locale");
  store.RemoveValue("count");
  EXPECT_EQ(store.GetValue("intl.app_locale"), nullptr);
  EXPECT_NE(store.GetValue("intl"), nullptr);
  store.CommitPendingWrite();
  EXPECT_FALSE(store.HasChanges());
  pool_->Shutdown();
  EXPECT_EQ(ReadBack(), json::parse(R"({"intl": {}, "big": 5000000000, "flag": true,
      "list": ["x@1"], "plain": {"inner": 1}, "custom_partner_content": {"updated": true}})"));
}

TEST_F(JsonPrefStoreTest, ShutdownDrainsPendingWrites) {
  // Hold the pool busy until Shutdown has begun (the pool is no longer
  // known by its name), so the store's write is still queued then.
  std::atomic<bool> slow_task_done{false};
  pool_->PostTask(FROM_HERE, [&] {
    EXPECT_TRUE(test::WaitUntil([] { return !WorkerPool::Get("PrefsTaskPool"); }));
    slow_task_done = true;
  });
  {
    JsonPrefStore store(File(), pool_);
    store.Load();
    store.SetValue("single_profile", false);
    store.SetValue("installer-experiments", json::array());
    store.SetValue("text", kInvalidUtf8);
  }
  EXPECT_FALSE(std::filesystem::exists(File()));
  pool_->Shutdown();
  EXPECT_TRUE(slow_task_done);
  json written = ReadBack();
  EXPECT_EQ(written["single_profile"], false);
  EXPECT_EQ(written["installer-experiments"], json::array());
  EXPECT_EQ(written["text"], "bad \xEF\xBF\xBD( text \xEF\xBF\xBD");
}

TEST_F(JsonPrefStoreTest, WritesAtOnceWhenThePoolHasShutDown) {
  pool_->Shutdown();
  {
    JsonPrefStore store(File(), pool_);
    store.SetValue("language", "nb");
  }
  EXPECT_EQ(ReadBack(), json({{"language", "nb"}}));
  JsonPrefStore without_pool(File(), nullptr);
  EXPECT_TRUE(without_pool.Load());
  without_pool.SetValue("enable_stats", true);
  without_pool.CommitPendingWrite();
  EXPECT_EQ(ReadBack(), json({{"language", "nb"}, {"enable_stats", true}}));
}

TEST_F(JsonPrefStoreTest, UseFromASecondThreadIsCaught) {
  test::ThreadViolationRecorder recorder;
  JsonPrefStore store(File(), nullptr);
  store.Load();
  test::RunOnAnotherThread([&store] { store.SetValue("language", "de"); });
  EXPECT_EQ(recorder.violations().size(), 1u);
}

TEST(WorkerPoolTest, NamedPoolsRunTasksInOrderOnOneThread) {
  std::shared_ptr<WorkerPool> pool = WorkerPool::Create("GsTaskPool");
  ASSERT_NE(pool, nullptr);
  EXPECT_EQ(WorkerPool::Get("GsTaskPool"), pool);
  EXPECT_EQ(WorkerPool::Create("GsTaskPool"), pool);
  EXPECT_EQ(WorkerPool::Get("NoSuchPool"), nullptr);
  std::vector<DWORD> threads;
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) {
    EXPECT_TRUE(pool->PostTask(FROM_HERE, [&, i] {
      order.push_back(i);
      threads.push_back(GetCurrentThreadId());
    }));
  }
  pool->Shutdown();
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4}));
  EXPECT_EQ(std::count(threads.begin(), threads.end(), threads.front()), 5);
  EXPECT_NE(threads.front(), GetCurrentThreadId());
  EXPECT_EQ(WorkerPool::Get("GsTaskPool"), nullptr);
  EXPECT_FALSE(pool->PostTask(FROM_HERE, [] {}));
  EXPECT_FALSE(pool->task_runner()->PostTask(FROM_HERE, [] {}));

  std::shared_ptr<WorkerPool> next = WorkerPool::Create("GsTaskPool");
  EXPECT_NE(next, pool);
  pool.reset();  // the old pool going does not unlist the new one
  EXPECT_EQ(WorkerPool::Get("GsTaskPool"), next);
}

}  // namespace
}  // namespace norva::installer
