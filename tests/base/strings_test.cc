#include "base/strings.h"

#include <gtest/gtest.h>

namespace norva::installer {
namespace {

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
