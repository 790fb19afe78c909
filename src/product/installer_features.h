#ifndef NORVA_PRODUCT_INSTALLER_FEATURES_H_
#define NORVA_PRODUCT_INSTALLER_FEATURES_H_

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace norva::installer {

class CommandLine;

// Installer behaviours that are switched per product and stream and can be
// forced on or off for one run ("experiments").
inline constexpr char kExperimentTest[] = "installer-experiment-test";
inline constexpr char kUiStats[] = "installer-ui-stats";
inline constexpr char kHideFromProgramsAndFeatures[] = "installer-hide-from-program-and-features";
inline constexpr char kPrefDefaultOverridesSupport[] = "installer-pref-default-overrides-support";

// Prefix of the command-line switches that force a feature: the feature name
// follows it, the value is "on" or "off".
inline constexpr char kWithFeatureSwitchPrefix[] = "with-feature:";

// The process-wide table of installer features with their defaults for this
// product and stream, and the overrides given for the run. Built on the main
// thread at start-up; afterwards any thread may ask IsEnabled.
class FeatureRegistry {
 public:
  struct Feature {
    std::string name;
    bool enabled_by_default;
    bool overridable;
  };

  static FeatureRegistry& Get();

  // Registers every feature of the table with its defaults for the branding's
  // product token and the build's stream. Drops earlier features and overrides.
  void RegisterDefaults();

  // Every "with-feature:<name>" switch forces <name> on ("on") or off ("off");
  // any other value is logged and ignored.
  void AddOverridesFromCommandLine(const CommandLine& command_line);
  // Entries "<name>@1" (on) and "<name>@2" (off), as an installation records
  // them; anything else is ignored.
  void AddOverridesFromRecordedList(const std::vector<std::string>& entries);

  // Unknown names are disabled. A feature that cannot be overridden keeps its
  // default; otherwise the newest override for it wins.
  bool IsEnabled(std::string_view name) const;

  // In table order; stable once RegisterDefaults has run.
  const std::vector<Feature>& features() const { return features_; }

  // "name@1" / "name@2" for every feature, and for those whose state differs
  // from their default.
  std::vector<std::string> AllExperimentsList() const;
  std::vector<std::string> ChangedExperimentsList() const;

  void ResetForTesting();

 private:
  struct Override {
    std::string name;
    bool enabled;
  };

  FeatureRegistry() = default;
  void AddOverride(std::string name, bool enabled);
  bool IsEnabledLocked(const Feature& feature) const;
  std::vector<std::string> ExperimentsList(bool changed_only) const;

  mutable std::mutex lock_;
  std::vector<Feature> features_;
  std::vector<Override> overrides_;  // In the order read.
};

}  // namespace norva::installer

#endif  // NORVA_PRODUCT_INSTALLER_FEATURES_H_
