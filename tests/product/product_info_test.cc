#include "product/product_info.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "support/scratch.h"

namespace norva::installer::product {
namespace {

class ProductInfoTest : public testing::Test {
 protected:
  void TearDown() override {
    ResetBrandingForTesting();
    SetStreamIdForTesting(-1);
  }
};

// One field of each kind: text, composed text, flag, number and URL table.
TEST_F(ProductInfoTest, BrandingComesFromTheExecutableResource) {
  EXPECT_EQ(ProductVersion(), "37.0.2163.0");
  EXPECT_EQ(FullVisibleName(), "Norva developer");
  EXPECT_TRUE(ScheduleAutoupdateTask());
  EXPECT_EQ(EngineMajor(), 50);
  EXPECT_FALSE(Url("autoupdate").empty());
  EXPECT_EQ(Url("no_such_url"), "");
}

// The fallback module is read as data, and only from the executable's folder:
// a module of that name in the current folder is never looked at.
TEST_F(ProductInfoTest, FallbackRecordOnlyFromTheGivenFolderAndReadAsData) {
  const std::filesystem::path own = GetExecutablePath();  // carries the record
  test::ScratchFolder beside, current;
  ASSERT_TRUE(CopyFile(own, current.path() / L"_nrautolib.pyd"));
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(current.path().c_str());
  EXPECT_EQ(LoadFallbackBrandingText(beside.path()), "");
  SetCurrentDirectoryW(saved);
  const std::filesystem::path module = beside.path() / L"_nrautolib.pyd";
  ASSERT_TRUE(CopyFile(own, module));
  EXPECT_NE(LoadFallbackBrandingText(beside.path()).find("\"product_name\": \"Norva\""),
            std::string::npos);
  EXPECT_EQ(GetModuleHandleW(L"_nrautolib.pyd"), nullptr);  // no code of it was loaded
  EXPECT_TRUE(DeleteFileW(module.c_str()));                  // nor is it held
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

}  // namespace
}  // namespace norva::installer::product
