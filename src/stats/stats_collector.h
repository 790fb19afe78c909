#ifndef NORVA_STATS_STATS_COLLECTOR_H_
#define NORVA_STATS_STATS_COLLECTOR_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "base/command_line.h"
#include "base/task_runner.h"

namespace norva::installer {

class UICallbackRunner;
class Wininet;

// A handle on one dictionary of the statistics tree. Copied freely; valid
// while its collector lives. Every operation takes the collector's lock.
// Keys are paths: each "." steps into a nested dictionary, created when
// missing. Dictionaries and lists are never replaced by a value, so that
// every node handed out keeps pointing into the tree; such a write is
// dropped.
class StatsNode {
 public:
  using Clock = std::chrono::steady_clock;

  // A node that writes nowhere.
  StatsNode() = default;

  bool IsValid() const { return dictionary_ != nullptr; }

  void SetString(std::string_view key, std::string_view value) const;
  void SetInteger(std::string_view key, int64_t value) const;
  // Adds one to the integer at `key` (an absent or non-integer value counts
  // as 0).
  void Increment(std::string_view key) const;
  void Remove(std::string_view key) const;
  // Sets key + ".time" to the UTC time text and key + ".elapsed" to the
  // milliseconds since the collector was made.
  void SetTime(std::string_view key) const;
  // Sets `key` to the UTC time text, "2016-03-08 23:00:51.042".
  void SetTimestamp(std::string_view key) const;
  // Appends an empty dictionary to the list at `key` (made when missing) and
  // returns a node for it.
  StatsNode AppendRecord(std::string_view key) const;

  // The UTC time text of now.
  static std::string TimeText();

  // Where the collector's start and the elapsed times are read from; null
  // puts back the steady clock.
  static void SetClockForTesting(Clock::time_point (*now)());

 private:
  friend class StatsCollector;
  using Dictionary = nlohmann::json::object_t;

  StatsNode(Dictionary* dictionary, std::mutex* lock, Clock::time_point start)
      : dictionary_(dictionary), lock_(lock), start_(start) {}

  // The slot for the last part of `key`, stepping into (or making) the
  // dictionaries before it. nullptr when a list stands in the way. Called
  // under the lock.
  nlohmann::json* Slot(std::string_view key) const;
  // Stores a scalar unless a dictionary or list is in its place.
  void Store(std::string_view key, nlohmann::json value) const;

  Dictionary* dictionary_ = nullptr;
  std::mutex* lock_ = nullptr;
  Clock::time_point start_;
};

// Owns the statistics tree of one installer run and the lock that guards
// it. Construction records the run's start time, product, stream and
// Windows version.
class StatsCollector {
 public:
  // `record_command_line` is the state of the "installer-ui-stats" feature:
  // only then are the run's arguments recorded. `ui_runner` goes to the
  // report's downloader (for a proxy's credentials); without it no report
  // can be sent. `command_line` holds the run's switches.
  explicit StatsCollector(bool record_command_line, UICallbackRunner* ui_runner = nullptr,
                          const CommandLine& command_line = CommandLine::ForCurrentProcess());
  ~StatsCollector();
  StatsCollector(const StatsCollector&) = delete;
  StatsCollector& operator=(const StatsCollector&) = delete;

  const StatsNode& root() const { return root_node_; }

  // Runs `visit` on the root under the lock (for the report's summary and
  // final edits). The visitor may read, add and remove values, but must not
  // replace the root or remove a dictionary or list: nodes point into them.
  void WithRoot(const std::function<void(nlohmann::json& root)>& visit);
  // Compact JSON with the keys of each dictionary in ascending byte order.
  std::string Serialize();

  // Summarises the downloads and posts the tree to the feedback address.
  // True when the report is on its way: `completion` runs on this thread
  // once the request has ended, whatever its outcome. False when nothing was
  // sent; `completion` has then run already. Without `full_retries` the
  // request is given up after two retries.
  bool SendReport(Closure completion, bool full_retries);

 private:
  // Sets "wininet_retries" and "download_ips" from the chunk records of
  // every fetch. Called under the lock.
  static void SummariseDownloads(nlohmann::json& root);
  std::wstring ReportUrl() const;

  std::mutex lock_;
  nlohmann::json root_;
  StatsNode root_node_;
  const CommandLine command_line_;
  std::unique_ptr<Wininet> downloader_;  // the report's own, null without a UI runner
};

}  // namespace norva::installer

#endif  // NORVA_STATS_STATS_COLLECTOR_H_
