#include "package/version.h"

#include <gtest/gtest.h>

namespace norva::installer {
namespace {

TEST(VersionTest, ValidVersions) {
  EXPECT_EQ(Version("37.0.2163.0").components(), (std::vector<uint32_t>{37, 0, 2163, 0}));
  EXPECT_EQ(Version("2163").components(), (std::vector<uint32_t>{2163}));
  EXPECT_EQ(Version("0").components(), (std::vector<uint32_t>{0}));
  EXPECT_EQ(Version("0.5").ToString(), "0.5");
  // Only the first number must not have leading zeros.
  EXPECT_EQ(Version("1.02.003").components(), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_TRUE(Version("4294967295.1").IsValid());
}

TEST(VersionTest, InvalidVersions) {
  for (const char* text :
       {"", ".", "1.", ".1", "1..2", "01.2", "00", "-1", "+1", "1.-2", " 1", "1 ", "1.2 ",
        "1.2a", "a", "1,2", "4294967296", "1.99999999999", "1.2.\n", "\xEF\xBC\x91"}) {
    EXPECT_FALSE(Version(text).IsValid()) << text;
    EXPECT_EQ(Version(text).ToString(), "") << text;
  }
  EXPECT_FALSE(Version(std::string_view("1\0" "2", 3)).IsValid());
}

TEST(VersionTest, Comparison) {
  EXPECT_EQ(Version("2163.0"), Version("2163"));
  EXPECT_EQ(Version("2163.0.0.0"), Version("2163"));
  EXPECT_GT(Version("2163.0.1"), Version("2163"));
  EXPECT_LT(Version("2163"), Version("2163.0.1"));
  EXPECT_LT(Version("37.0.2163.0"), Version("37.0.2164.0"));
  // Numbers, not text: 10 is after 9.
  EXPECT_GT(Version("1.10"), Version("1.9"));
  EXPECT_GT(Version("38"), Version("37.999.999"));
  EXPECT_GT(Version("4294967295"), Version("4294967294.4294967295"));
  EXPECT_EQ(Version("1.2").CompareTo(Version("1.3")), -1);
  EXPECT_EQ(Version("1.3").CompareTo(Version("1.2")), 1);
  EXPECT_EQ(Version("1.02").CompareTo(Version("1.2")), 0);
}

}  // namespace
}  // namespace norva::installer
