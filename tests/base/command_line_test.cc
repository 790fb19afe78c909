#include "base/command_line.h"

#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

namespace norva::installer {
namespace {

std::vector<std::wstring> SplitLikeWindows(const std::wstring& line) {
  int count = 0;
  wchar_t** parts = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> out(parts, parts + count);
  LocalFree(parts);
  return out;
}

TEST(CommandLineTest, AcceptsEveryPrefixAndLowersNames) {
  CommandLine line = CommandLine::FromString(
      L"installer.exe --Silent -LANGUAGE=pt-BR /? /installfolder=C:\\Program Files\\X plain");
  EXPECT_TRUE(line.HasSwitch("silent"));
  EXPECT_TRUE(line.HasSwitch("?"));
  EXPECT_EQ(line.GetSwitchValue("language"), L"pt-BR");
  // The blank splits the value: Windows would need quotes around it.
  EXPECT_EQ(line.GetSwitchValuePath("installfolder"), FilePath(L"C:\\Program"));
  ASSERT_EQ(line.GetArgs().size(), 2u);
  EXPECT_EQ(line.GetArgs()[0], L"Files\\X");
  EXPECT_EQ(line.GetArgs()[1], L"plain");
  EXPECT_EQ(line.GetRawArgs().back(), L"plain");
}

TEST(CommandLineTest, ValuesKeepEqualsSignsAndQuotes) {
  CommandLine line = CommandLine::FromString(
      LR"(a.exe "--installfolder=C:\Program Files\Norva" --with-feature:installer-ui-stats=off --x=a=b -- --notaswitch)");
  EXPECT_EQ(line.GetSwitchValue("installfolder"), L"C:\\Program Files\\Norva");
  EXPECT_EQ(line.GetSwitchValue("with-feature:installer-ui-stats"), L"off");
  EXPECT_EQ(line.GetSwitchValue("x"), L"a=b");
  EXPECT_FALSE(line.HasSwitch("notaswitch"));
  ASSERT_EQ(line.GetArgs().size(), 1u);
  EXPECT_EQ(line.GetArgs()[0], L"--notaswitch");
}

TEST(CommandLineTest, BooleanRule) {
  for (const wchar_t* yes : {L"yes", L"YES", L"True", L"1", L"7", L"-1", L"12abc", L"007"})
    EXPECT_TRUE(ParseBoolSwitchValue(yes)) << yes;
  for (const wchar_t* no : {L"", L"0", L"no", L"false", L"on", L"y", L"0x1", L"abc1", L"000"})
    EXPECT_FALSE(ParseBoolSwitchValue(no)) << no;

  CommandLine line = CommandLine::FromString(L"a.exe --copyonly --allusers=yes");
  EXPECT_FALSE(line.GetSwitchValueBool("copyonly"));  // present without a value
  EXPECT_TRUE(line.GetSwitchValueBool("allusers"));
  EXPECT_TRUE(line.GetSwitchValueBool("absent", /*absent_value=*/true));
}

TEST(CommandLineTest, BuiltLineRoundTripsThroughWindowsSplitting) {
  const std::wstring awkward[] = {
      L"C:\\Program Files\\Norva\\",  // trailing backslash inside quotes
      L"say \"hi\"",                  // embedded quotes
      L"back\\\\\"slash",             // backslashes before a quote
      L"",                            // empty argument
      L"tab\there",
      L"\x65e5\x672c",  // non-ASCII
  };
  CommandLine line(L"C:\\Some Folder\\installer.exe");
  line.AppendSwitch("backend");
  line.AppendSwitchValue("installfolder", awkward[0]);
  for (const auto& arg : awkward) line.AppendArg(arg);

  std::vector<std::wstring> argv = SplitLikeWindows(line.GetCommandLineString());
  ASSERT_EQ(argv.size(), 3u + std::size(awkward));
  EXPECT_EQ(argv[0], L"C:\\Some Folder\\installer.exe");
  EXPECT_EQ(argv[1], L"--backend");
  EXPECT_EQ(argv[2], L"--installfolder=C:\\Program Files\\Norva\\");
  for (size_t i = 0; i < std::size(awkward); ++i) EXPECT_EQ(argv[3 + i], awkward[i]) << i;

  CommandLine parsed = CommandLine::FromString(line.GetCommandLineString());
  EXPECT_TRUE(parsed.HasSwitch("backend"));
  EXPECT_EQ(parsed.GetSwitchValue("installfolder"), awkward[0]);
}

}  // namespace
}  // namespace norva::installer
