#include "product/installer_features.h"

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "product/product_info.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using Strings = std::vector<std::string>;

class InstallerFeaturesTest : public testing::Test {
 protected:
  void SetUp() override { registry().RegisterDefaults(); }
  void TearDown() override {
    product::ResetBrandingForTesting();
    product::SetStreamIdForTesting(-1);
    registry().RegisterDefaults();
  }
  static FeatureRegistry& registry() { return FeatureRegistry::Get(); }
  static void OverrideFrom(const wchar_t* switches) {
    registry().AddOverridesFromCommandLine(
        CommandLine::FromString(std::wstring(L"installer.exe ") + switches));
  }
};

TEST_F(InstallerFeaturesTest, DefaultsForThisProductAndStream) {
  for (const auto& feature : registry().features()) {
    EXPECT_EQ(feature.enabled_by_default, feature.name == kUiStats) << feature.name;
    EXPECT_EQ(feature.overridable, feature.name != kHideFromProgramsAndFeatures) << feature.name;
  }
  EXPECT_TRUE(registry().IsEnabled(kUiStats));
  EXPECT_FALSE(registry().IsEnabled(kExperimentTest));
  EXPECT_FALSE(registry().IsEnabled("installer-no-such-feature"));
  EXPECT_EQ(registry().AllExperimentsList(),
            (Strings{"installer-experiment-test@2", "installer-ui-stats@1",
                     "installer-hide-from-program-and-features@2",
                     "installer-pref-default-overrides-support@2"}));
  EXPECT_TRUE(registry().ChangedExperimentsList().empty());
}

TEST_F(InstallerFeaturesTest, DefaultsFollowProductTokenAndStream) {
  product::SetStreamIdForTesting(4);
  registry().RegisterDefaults();
  EXPECT_TRUE(registry().IsEnabled(kUiStats));
  EXPECT_FALSE(registry().features()[2].overridable);

  product::SetBrandingForTesting(R"({"user_agent_name": "KTW"})");
  registry().RegisterDefaults();
  EXPECT_FALSE(registry().IsEnabled(kUiStats));
  EXPECT_TRUE(registry().IsEnabled(kHideFromProgramsAndFeatures));
  EXPECT_FALSE(registry().features()[2].overridable);  // Its override mask is empty.
  OverrideFrom(L"--with-feature:installer-ui-stats=on");
  EXPECT_TRUE(registry().IsEnabled(kUiStats));

  // A token that is not in the table (a prefix of a known one included).
  for (const char* branding : {R"({"user_agent_name": "XYZ"})", R"({"user_agent_name": "NV"})"}) {
    product::SetBrandingForTesting(branding);
    registry().RegisterDefaults();
    for (const auto& feature : registry().features()) {
      EXPECT_FALSE(feature.enabled_by_default) << branding << feature.name;
      EXPECT_FALSE(feature.overridable) << branding << feature.name;
    }
    OverrideFrom(L"--with-feature:installer-ui-stats=on");
    EXPECT_FALSE(registry().IsEnabled(kUiStats)) << branding;
  }
}

TEST_F(InstallerFeaturesTest, CommandLineOverrides) {
  OverrideFrom(
      L"--with-feature:installer-ui-stats=off --with-feature:installer-experiment-test=on "
      L"--with-feature:installer-hide-from-program-and-features=on --with-feature:unknown=on");
  EXPECT_FALSE(registry().IsEnabled(kUiStats));
  EXPECT_TRUE(registry().IsEnabled(kExperimentTest));
  // Not overridable for this product and stream: stays at its default.
  EXPECT_FALSE(registry().IsEnabled(kHideFromProgramsAndFeatures));
  EXPECT_FALSE(registry().IsEnabled("unknown"));
  EXPECT_EQ(registry().ChangedExperimentsList(),
            (Strings{"installer-experiment-test@1", "installer-ui-stats@2"}));
}

TEST_F(InstallerFeaturesTest, UnhandledSwitchValueWarnsAndKeepsDefault) {
  test::LogCapture log;
  OverrideFrom(L"--with-feature:installer-ui-stats=yes --with-feature:installer-experiment-test");
  EXPECT_TRUE(registry().IsEnabled(kUiStats));
  EXPECT_FALSE(registry().IsEnabled(kExperimentTest));
  EXPECT_TRUE(log.Contains("with-feature:installer-ui-stats has unhandled value: \"yes\" did "
                           "you mean \"on\" or \"off\"? Using default setting."));
  EXPECT_TRUE(log.Contains("with-feature:installer-experiment-test has unhandled value: \"\" "
                           "did you mean \"on\" or \"off\"? Using default setting."));
}

TEST_F(InstallerFeaturesTest, NewestOverrideWins) {
  OverrideFrom(L"--with-feature:installer-ui-stats=on --with-feature:installer-ui-stats=off");
  EXPECT_FALSE(registry().IsEnabled(kUiStats));
  // A later source (an upgrade's recorded list, then the switches) overrides again.
  registry().AddOverridesFromRecordedList({"installer-ui-stats@1"});
  EXPECT_TRUE(registry().IsEnabled(kUiStats));
  OverrideFrom(L"--with-feature:installer-ui-stats=off");
  EXPECT_FALSE(registry().IsEnabled(kUiStats));
  // Rebuilding the registry forgets every override.
  registry().RegisterDefaults();
  EXPECT_TRUE(registry().IsEnabled(kUiStats));
}

TEST_F(InstallerFeaturesTest, RecordedListEntries) {
  registry().AddOverridesFromRecordedList({"installer-experiment-test@1"});
  EXPECT_TRUE(registry().IsEnabled(kExperimentTest));

  registry().RegisterDefaults();
  registry().AddOverridesFromRecordedList(
      {"installer-experiment-test@3", "installer-experiment-test", "installer-experiment-test@1@2",
       "installer-experiment-test@", "installer-experiment-test@x", "installer-ui-stats@2",
       "installer-pref-default-overrides-support@01"});
  EXPECT_FALSE(registry().IsEnabled(kExperimentTest));
  EXPECT_FALSE(registry().IsEnabled(kUiStats));
  EXPECT_TRUE(registry().IsEnabled(kPrefDefaultOverridesSupport));

  // What an installation records reads back to the same states.
  Strings recorded = registry().ChangedExperimentsList();
  registry().RegisterDefaults();
  registry().AddOverridesFromRecordedList(recorded);
  EXPECT_EQ(registry().ChangedExperimentsList(), recorded);
}

}  // namespace
}  // namespace norva::installer
