#include "product/product_info.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>

#include <nlohmann/json.hpp>

#include "base/json.h"
#include "base/module_resource.h"
#include "base/file_util.h"
#include "base/strings.h"
#include "product/resource_ids.h"

namespace norva::installer::product {
namespace {

constexpr char kEngineVersion[] = "50.0.2645.4";
// Test builds of another version define NORVA_BUILD_NUMBER.
#ifndef NORVA_BUILD_NUMBER
#define NORVA_BUILD_NUMBER 2163
#endif
constexpr int kBuildNumber = NORVA_BUILD_NUMBER;
constexpr int kBuildPatch = 0;
constexpr int kBuildId = 607844;
constexpr int kBuildsetId = 231155;
constexpr char kBuildRequestTime[] = "20160308_230051";
constexpr int kStreamId = 2;
constexpr char kInternalStreamName[] = "developer";
constexpr int kBaseMajorVersion = 37;
constexpr wchar_t kBrandingFallbackModule[] = L"_nrautolib.pyd";

std::atomic<int> g_stream_id_override{-1};

using Json = nlohmann::json;

Json ParseRecord(std::string_view text) {
  Json record;
  if (!ParseJson(text, &record) || !record.is_object()) return Json::object();
  return record;
}

std::string LoadResourceText(HMODULE module) {
  if (!module) return {};
  return std::string(ModuleResource(IDR_BRANDING, L"TXT", module));
}

Json LoadRecordFromResources() {
  std::string text = LoadResourceText(GetModuleHandleW(nullptr));
  if (text.empty()) {
    FilePath executable = GetExecutablePath();
    if (!executable.empty()) text = LoadFallbackBrandingText(executable.parent_path());
  }
  // A record padded with zero bytes by the resource compiler ends at the first one.
  text = text.substr(0, text.find('\0'));
  return ParseRecord(text);
}

struct RecordHolder {
  std::mutex lock;
  std::shared_ptr<const Json> record;
};

RecordHolder& Holder() {
  static RecordHolder* holder = new RecordHolder;
  return *holder;
}

std::shared_ptr<const Json> Record() {
  RecordHolder& holder = Holder();
  std::lock_guard<std::mutex> hold(holder.lock);
  if (!holder.record) holder.record = std::make_shared<const Json>(LoadRecordFromResources());
  return holder.record;
}

const Json* Find(const Json& record, std::string_view dotted_path) {
  const Json* node = &record;
  for (const std::string& key : SplitString(dotted_path, '.')) {
    if (!node->is_object()) return nullptr;
    auto it = node->find(key);
    if (it == node->end()) return nullptr;
    node = &*it;
  }
  return node;
}

}  // namespace

std::string LoadFallbackBrandingText(const FilePath& folder) {
  // Mapped as a resource file by its full path: neither the search order
  // (the current or download folder) nor any code of the module comes in.
  HMODULE module = LoadLibraryExW((folder / kBrandingFallbackModule).c_str(), nullptr,
                                  LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!module) return {};
  std::string text = LoadResourceText(module);
  FreeLibrary(module);
  return text;
}

std::string GetBrandingString(std::string_view dotted_path) {
  auto record = Record();
  const Json* value = Find(*record, dotted_path);
  return value && value->is_string() ? value->get<std::string>() : std::string();
}

int GetBrandingInt(std::string_view dotted_path) {
  auto record = Record();
  const Json* value = Find(*record, dotted_path);
  return value && value->is_number_integer() ? value->get<int>() : 0;
}

bool GetBrandingBool(std::string_view dotted_path) {
  auto record = Record();
  const Json* value = Find(*record, dotted_path);
  return value && value->is_boolean() ? value->get<bool>() : false;
}

void SetBrandingForTesting(std::string_view json_text) {
  RecordHolder& holder = Holder();
  std::lock_guard<std::mutex> hold(holder.lock);
  holder.record = std::make_shared<const Json>(ParseRecord(json_text));
}

void ResetBrandingForTesting() {
  RecordHolder& holder = Holder();
  std::lock_guard<std::mutex> hold(holder.lock);
  holder.record.reset();
}

void SetStreamIdForTesting(int stream_id) { g_stream_id_override = stream_id; }

std::string EngineVersion() { return kEngineVersion; }
int EngineMajor() {
  int major = 0;
  StringToInt(SplitString(kEngineVersion, '.')[0], &major);
  return major;
}
int BuildNumber() { return kBuildNumber; }
int BuildId() { return kBuildId; }
int BuildsetId() { return kBuildsetId; }
std::string BuildRequestTime() { return kBuildRequestTime; }
int StreamId() {
  int forced = g_stream_id_override;
  return forced >= 0 ? forced : kStreamId;
}
std::string InternalStreamName() { return kInternalStreamName; }

std::string StreamDisplayNameFor(int stream_id) {
  switch (stream_id) {
    case 2: return "Developer";
    case 3: return "Next";
    case 4: return "Stable";
    default: return InternalStreamName();
  }
}
std::string StreamDisplayName() { return StreamDisplayNameFor(StreamId()); }

int ProductMajorVersion() { return kBaseMajorVersion + MajorDelta(); }
std::string ProductVersion() {
  int minor = UseEngineMajorForMinor() ? EngineMajor() : 0;
  return StringPrintf("%d.%d.%d.%d", ProductMajorVersion(), minor, kBuildNumber, kBuildPatch);
}
std::string BuildNumberString() { return StringPrintf("%d.%d", kBuildNumber, kBuildPatch); }
std::string FullVisibleName() { return VisibleProductName() + " " + InternalStreamName(); }
std::string EditionSuffix() { return " (Edition " + InternalStreamName() + ")"; }

std::string CompanyName() { return GetBrandingString("company_name"); }
std::string CrashLogProductSuffix() { return GetBrandingString("crash_log_product_sufix"); }
std::string DefaultProfilePathTemplate() {
  return GetBrandingString("default_profile_path_template");
}
std::string Domain() { return GetBrandingString("domain"); }
std::string ExpectedSigner() { return GetBrandingString("expected_signer"); }
std::string FileNameBase() { return GetBrandingString("file_name_base"); }
int MajorDelta() { return GetBrandingInt("major_delta"); }
std::string ProductName() { return GetBrandingString("product_name"); }
bool ScheduleAutoupdateTask() { return GetBrandingBool("schedule_autoupdate_task"); }
std::string ShortcutSuffix() { return GetBrandingString("shortcut_suffix"); }
bool UseEngineMajorForMinor() { return GetBrandingBool("use_chromium_major_for_minor"); }
std::string UserAgentName() { return GetBrandingString("user_agent_name"); }
std::string VisibleProductName() { return GetBrandingString("visible_product_name"); }
bool WhiteLabeled() { return GetBrandingBool("white_labeled"); }
std::string Url(std::string_view key) {
  return GetBrandingString(StringPrintf("%s.%s", "urls", std::string(key).c_str()));
}

}  // namespace norva::installer::product
