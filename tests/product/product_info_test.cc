#include "product/product_info.h"

#include <gtest/gtest.h>

namespace norva::installer::product {
namespace {

class ProductInfoTest : public testing::Test {
 protected:
  void TearDown() override {
    ResetBrandingForTesting();
    SetStreamIdForTesting(-1);
  }
};

TEST_F(ProductInfoTest, BrandingComesFromTheExecutableResource) {
  EXPECT_EQ(ProductVersion(), "37.0.2163.0");
  EXPECT_EQ(BuildNumberString(), "2163.0");
  EXPECT_EQ(ProductName(), "Norva");
  EXPECT_EQ(FileNameBase(), "norva");
  EXPECT_EQ(UserAgentName(), "NVR");
  EXPECT_EQ(FullVisibleName(), "Norva developer");
  EXPECT_EQ(EditionSuffix(), " (Edition developer)");
  EXPECT_EQ(DefaultProfilePathTemplate(), "Norva Software/Norva {InternalStream}");
  EXPECT_TRUE(ScheduleAutoupdateTask());
  EXPECT_FALSE(WhiteLabeled());
  EXPECT_EQ(ShortcutSuffix(), "");
  EXPECT_FALSE(Url("autoupdate").empty());
  EXPECT_EQ(Url("no_such_url"), "");
  EXPECT_EQ(EngineMajor(), 50);
}

TEST_F(ProductInfoTest, VersionFollowsMajorDeltaAndEngineMinor) {
  SetBrandingForTesting(R"({"major_delta": 2, "use_chromium_major_for_minor": true})");
  EXPECT_EQ(ProductVersion(), "39.50.2163.0");
  EXPECT_EQ(ProductMajorVersion(), 39);
  SetBrandingForTesting(R"({"use_chromium_major_for_minor": true})");
  EXPECT_EQ(ProductVersion(), "37.50.2163.0");
}

TEST_F(ProductInfoTest, BadRecordsGiveDefaults) {
  for (const char* text : {"not json", "[1, 2]", "", R"({"product_name": 5, "major_delta": "3",
      "white_labeled": "yes", "urls": "x"})"}) {
    SetBrandingForTesting(text);
    EXPECT_EQ(ProductName(), "") << text;
    EXPECT_EQ(MajorDelta(), 0) << text;
    EXPECT_FALSE(WhiteLabeled()) << text;
    EXPECT_EQ(Url("help"), "") << text;
    EXPECT_EQ(ProductVersion(), "37.0.2163.0") << text;
  }
}

TEST_F(ProductInfoTest, StreamDisplayNames) {
  EXPECT_EQ(StreamDisplayName(), "Developer");
  SetStreamIdForTesting(3);
  EXPECT_EQ(StreamDisplayName(), "Next");
  SetStreamIdForTesting(4);
  EXPECT_EQ(StreamDisplayName(), "Stable");
  SetStreamIdForTesting(7);
  EXPECT_EQ(StreamDisplayName(), "developer");
}

}  // namespace
}  // namespace norva::installer::product
