#include "stats/stats_collector.h"

#include <windows.h>

#include "base/command_line.h"
#include "base/logging.h"
#include "base/strings.h"
#include "net/wininet.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

using json = nlohmann::json;

StatsNode::Clock::time_point (*g_now)() = &StatsNode::Clock::now;

bool IsContainer(const json& value) { return value.is_object() || value.is_array(); }

// The running Windows version as the kernel reports it (GetVersionEx lies
// to executables without a manifest).
RTL_OSVERSIONINFOEXW WindowsVersion() {
  RTL_OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  using RtlGetVersionFunction = LONG(WINAPI*)(RTL_OSVERSIONINFOEXW*);
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  auto get_version = ntdll ? reinterpret_cast<RtlGetVersionFunction>(
                                 reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlGetVersion")))
                           : nullptr;
  if (!get_version || get_version(&info) != 0) info = RTL_OSVERSIONINFOEXW{};
  return info;
}

}  // namespace

json* StatsNode::Slot(std::string_view key) const {
  Dictionary* dictionary = dictionary_;
  size_t position = 0;
  for (size_t dot = key.find('.'); dot != std::string_view::npos;
       position = dot + 1, dot = key.find('.', position)) {
    json& step = (*dictionary)[std::string(key.substr(position, dot - position))];
    if (step.is_array()) return nullptr;
    if (!step.is_object()) step = json::object();
    dictionary = step.get_ptr<Dictionary*>();
  }
  return &(*dictionary)[std::string(key.substr(position))];
}

void StatsNode::Store(std::string_view key, json value) const {
  if (!dictionary_) return;
  std::lock_guard<std::mutex> hold(*lock_);
  json* slot = Slot(key);
  if (!slot || IsContainer(*slot)) {
    LOG(WARNING) << "Statistics key " << std::string(key) << " holds records; value dropped";
    return;
  }
  *slot = std::move(value);
}

void StatsNode::SetString(std::string_view key, std::string_view value) const {
  Store(key, json(std::string(value)));
}

void StatsNode::SetInteger(std::string_view key, int64_t value) const { Store(key, json(value)); }

void StatsNode::Increment(std::string_view key) const {
  if (!dictionary_) return;
  std::lock_guard<std::mutex> hold(*lock_);
  json* slot = Slot(key);
  if (!slot || IsContainer(*slot)) return;
  int64_t value = slot->is_number_integer() ? slot->get<int64_t>() : 0;
  *slot = value + 1;
}

void StatsNode::Remove(std::string_view key) const {
  if (!dictionary_) return;
  std::lock_guard<std::mutex> hold(*lock_);
  dictionary_->erase(std::string(key));
}

void StatsNode::SetClockForTesting(Clock::time_point (*now)()) { g_now = now ? now : &Clock::now; }

void StatsNode::SetTime(std::string_view key) const {
  if (!dictionary_) return;
  std::string text = TimeText();
  int64_t elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(g_now() - start_).count();
  std::string prefix(key);
  Store(prefix + ".time", json(std::move(text)));
  Store(prefix + ".elapsed", json(elapsed));
}

void StatsNode::SetTimestamp(std::string_view key) const { Store(key, json(TimeText())); }

StatsNode StatsNode::AppendRecord(std::string_view key) const {
  if (!dictionary_) return StatsNode();
  std::lock_guard<std::mutex> hold(*lock_);
  json* slot = Slot(key);
  if (!slot || slot->is_object()) {
    LOG(WARNING) << "Statistics key " << std::string(key) << " cannot hold records";
    return StatsNode();
  }
  if (!slot->is_array()) *slot = json::array();
  json& record = slot->emplace_back(json::object());
  // The dictionary itself lives on the heap, so the node stays valid when
  // the list grows and moves its elements.
  return StatsNode(record.get_ptr<Dictionary*>(), lock_, start_);
}

std::string StatsNode::TimeText() {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return StringPrintf("%02d-%02d-%02d %02d:%02d:%02d.%03d", now.wYear, now.wMonth, now.wDay,
                      now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
}

StatsCollector::StatsCollector(bool record_command_line, UICallbackRunner* ui_runner,
                               const CommandLine& command_line)
    : root_(json::object()),
      root_node_(root_.get_ptr<json::object_t*>(), &lock_, g_now()),
      command_line_(command_line) {
  if (ui_runner) downloader_ = std::make_unique<Wininet>(ui_runner, nullptr);
  root_node_.SetTime("installer_start_time");
  root_node_.SetTimestamp("installation_start_time");
  root_node_.SetString("version", product::ProductVersion());
  root_node_.SetString("stream", product::InternalStreamName());
  root_node_.SetString("product", product::ProductName());
  root_node_.SetString("os.name", "windows");
  RTL_OSVERSIONINFOEXW version = WindowsVersion();
  root_node_.SetInteger("os.version.major", version.dwMajorVersion);
  root_node_.SetInteger("os.version.minor", version.dwMinorVersion);
  root_node_.SetInteger("os.version.build", version.dwBuildNumber);
  root_node_.SetInteger("os.service_pack.major", version.wServicePackMajor);
  root_node_.SetInteger("os.service_pack.minor", version.wServicePackMinor);
  if (record_command_line) {
    root_node_.SetString("command_line_args",
                         WideToUtf8(command_line_.GetArgumentsString()));
  }
}

StatsCollector::~StatsCollector() = default;

void StatsCollector::WithRoot(const std::function<void(json& root)>& visit) {
  std::lock_guard<std::mutex> hold(lock_);
  visit(root_);
}

std::string StatsCollector::Serialize() {
  std::lock_guard<std::mutex> hold(lock_);
  // Text that is not UTF-8 is replaced rather than failing the whole report.
  return root_.dump(-1, ' ', false, json::error_handler_t::replace);
}

}  // namespace norva::installer
