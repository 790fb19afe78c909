#include "product/installer_features.h"

#include <cstdint>

#include "base/command_line.h"
#include "base/logging.h"
#include "base/strings.h"
#include "product/product_info.h"

namespace norva::installer {
namespace {

struct FeatureRow {
  const char* name;
  uint32_t default_mask;
  uint32_t override_mask;
};

// Each mask is matched against the bits of the running product and stream.
constexpr FeatureRow kFeatureTable[] = {
    {kExperimentTest, 0x0, 0xFFFF},
    {kUiStats, 0x3, 0xFFFF},
    {kHideFromProgramsAndFeatures, 0x4, 0x0},
    {kPrefDefaultOverridesSupport, 0x0, 0xFFFF},
};

struct ProductRow {
  const char* product_token;
  int stream_id;
  uint32_t default_bits;
  uint32_t override_bits;
};

constexpr ProductRow kProductTable[] = {
    {"NVR", 2, 0x3, 0x3}, {"NVR", 3, 0x2, 0x2}, {"NVR", 4, 0x2, 0x2},
    {"KTW", 2, 0x4, 0x4}, {"KTW", 3, 0x4, 0x4}, {"KTW", 4, 0x4, 0x4},
};

ProductRow SelectProductRow(std::string_view product_token, int stream_id) {
  for (const ProductRow& row : kProductTable) {
    if (product_token == row.product_token && stream_id == row.stream_id) return row;
  }
  return {"", 0, 0, 0};
}

std::string ExperimentEntry(const std::string& name, bool enabled) {
  return name + (enabled ? "@1" : "@2");
}

}  // namespace

FeatureRegistry& FeatureRegistry::Get() {
  // Never destroyed: threads may still ask while the process exits.
  static FeatureRegistry* registry = new FeatureRegistry;
  return *registry;
}

void FeatureRegistry::RegisterDefaults() {
  ProductRow row = SelectProductRow(product::UserAgentName(), product::StreamId());
  std::lock_guard<std::mutex> hold(lock_);
  features_.clear();
  overrides_.clear();
  for (const FeatureRow& feature : kFeatureTable) {
    features_.push_back({feature.name, (feature.default_mask & row.default_bits) != 0,
                         (feature.override_mask & row.override_bits) != 0});
  }
}

void FeatureRegistry::AddOverridesFromCommandLine(const CommandLine& command_line) {
  for (const auto& [switch_name, value] : command_line.GetSwitches()) {
    if (!StartsWith(switch_name, kWithFeatureSwitchPrefix)) continue;
    std::string feature = switch_name.substr(sizeof(kWithFeatureSwitchPrefix) - 1);
    if (value == L"on") {
      AddOverride(std::move(feature), true);
    } else if (value == L"off") {
      AddOverride(std::move(feature), false);
    } else {
      LOG(WARNING) << switch_name << " has unhandled value: \"" << value
                   << "\" did you mean \"on\" or \"off\"? Using default setting.";
    }
  }
}

void FeatureRegistry::AddOverridesFromRecordedList(const std::vector<std::string>& entries) {
  for (const std::string& entry : entries) {
    std::vector<std::string> pieces = SplitString(entry, '@');
    int state = 0;
    if (pieces.size() != 2 || !StringToInt(pieces[1], &state)) continue;
    if (state == 1 || state == 2) AddOverride(pieces[0], state == 1);
  }
}

void FeatureRegistry::AddOverride(std::string name, bool enabled) {
  std::lock_guard<std::mutex> hold(lock_);
  overrides_.push_back({std::move(name), enabled});
}

bool FeatureRegistry::IsEnabled(std::string_view name) const {
  std::lock_guard<std::mutex> hold(lock_);
  for (const Feature& feature : features_) {
    if (feature.name == name) return IsEnabledLocked(feature);
  }
  return false;
}

bool FeatureRegistry::IsEnabledLocked(const Feature& feature) const {
  if (!feature.overridable) return feature.enabled_by_default;
  for (auto it = overrides_.rbegin(); it != overrides_.rend(); ++it) {
    if (it->name == feature.name) return it->enabled;
  }
  return feature.enabled_by_default;
}

std::vector<std::string> FeatureRegistry::ExperimentsList(bool changed_only) const {
  std::lock_guard<std::mutex> hold(lock_);
  std::vector<std::string> list;
  for (const Feature& feature : features_) {
    bool enabled = IsEnabledLocked(feature);
    if (!changed_only || enabled != feature.enabled_by_default)
      list.push_back(ExperimentEntry(feature.name, enabled));
  }
  return list;
}

std::vector<std::string> FeatureRegistry::AllExperimentsList() const {
  return ExperimentsList(/*changed_only=*/false);
}

std::vector<std::string> FeatureRegistry::ChangedExperimentsList() const {
  return ExperimentsList(/*changed_only=*/true);
}

void FeatureRegistry::ResetForTesting() {
  std::lock_guard<std::mutex> hold(lock_);
  features_.clear();
  overrides_.clear();
}

}  // namespace norva::installer
