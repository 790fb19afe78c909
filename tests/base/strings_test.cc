#include "base/strings.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace norva::installer {
namespace {

// Every conversion the installer formats with, through the system C runtime,
// and C99's length and termination when the buffer is short.
TEST(StringsTest, FormatsEveryConversionInUse) {
  EXPECT_EQ(StringPrintf("%d|%u|%lX|%.8lx|%lld|%llu|%016llX|%s|%03d%%", -5, 7u, 0xABCDul, 0x1ful,
                         -9000000000ll, 18000000000000000000ull, 0x1234ull, "text", 9),
            "-5|7|ABCD|0000001f|-9000000000|18000000000000000000|0000000000001234|text|009%");
  EXPECT_EQ(StringPrintf(L"%ls|%lc:|%02X|%lld|%016llx|%u", L"wide \u00e9", L'C', 0xAu, -1ll,
                         0xFFull, 42u),
            L"wide \u00e9|C:|0A|-1|00000000000000ff|42");
  EXPECT_EQ(std::to_wstring(-1234567890123ll), L"-1234567890123");
  EXPECT_EQ(std::to_wstring(18446744073709551615ull), L"18446744073709551615");
  char narrow[5] = "xxxx";
  EXPECT_EQ(std::snprintf(narrow, sizeof(narrow), "%s", "longer"), 6);
  EXPECT_STREQ(narrow, "long");
}

TEST(StringsTest, Utf8RoundTripsOutsideTheBasicPlane) {
  std::string utf8 = "caf\xC3\xA9 \xE6\x97\xA5 \xF0\x9F\x98\x80";
  std::wstring wide = Utf8ToWide(utf8);
  EXPECT_EQ(wide, L"caf\x00e9 \x65e5 \xd83d\xde00");
  EXPECT_EQ(WideToUtf8(wide), utf8);
  EXPECT_EQ(Utf8ToWide(""), L"");
}

TEST(StringsTest, SplitKeepsEmptyPiecesAndTrimHandlesBlanks) {
  EXPECT_EQ(SplitString("a\n\nb\n", '\n'), (std::vector<std::string>{"a", "", "b", ""}));
  EXPECT_EQ(TrimWhitespaceASCII(" \r\n x y\t"), "x y");
  EXPECT_EQ(TrimWhitespaceASCII(" \t "), "");
}

TEST(StringsTest, PlaceholdersAreReplacedByPosition) {
  EXPECT_EQ(ReplaceStringPlaceholders(L"$2 then $1, $$1 and $3", {L"one", L"two"}),
            L"two then one, $1 and $3");
}

TEST(StringsTest, StringToIntRejectsJunkAndOverflow) {
  int value = 0;
  EXPECT_TRUE(StringToInt(std::string_view("-42"), &value));
  EXPECT_EQ(value, -42);
  EXPECT_TRUE(StringToInt(std::string_view("2147483647"), &value));
  EXPECT_FALSE(StringToInt(std::string_view("2147483648"), &value));
  EXPECT_FALSE(StringToInt(std::string_view("12 "), &value));
  EXPECT_FALSE(StringToInt(std::string_view(""), &value));
  EXPECT_FALSE(StringToInt(std::string_view("-"), &value));
}

}  // namespace
}  // namespace norva::installer
