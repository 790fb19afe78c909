#include "engine/uninstall_script.h"

#include <string>

#include <gtest/gtest.h>

#include "base/strings.h"

namespace norva::installer {
namespace {

std::wstring WaitFor(const char* name, uint32_t pid) {
  std::wstring n = Utf8ToWide(name);
  return L"IF %" + n + L"_RUNNING%==TRUE (\n" + L"TASKLIST /FI \"PID eq " + std::to_wstring(pid) +
         L"\" | FIND /c /i \".exe\"\n" + L"IF ERRORLEVEL 1 SET " + n + L"_RUNNING=FALSE\n)\n";
}

TEST(UninstallScriptTest, GoldenTexts) {
  const std::wstring pid1_only = L"SET PID1_RUNNING=TRUE\n:again\n" + WaitFor("PID1", 11) +
                                 L"ping -n 2 127.0.0.1\nIF %PID1_RUNNING%==TRUE GOTO :again\n";
  struct Case {
    const char* name;
    uint32_t pid2, pid3;
    std::vector<FilePath> files;
    std::set<FilePath> folders;
    std::wstring expected;
  };
  const Case cases[] = {
      {"PID1 only", 0, 0, {}, {}, pid1_only + L"del %0\n"},
      {"all three", 22, 33, {}, {},
       L"SET PID1_RUNNING=TRUE\nSET PID2_RUNNING=TRUE\nSET PID3_RUNNING=TRUE\n:again\n" +
           WaitFor("PID1", 11) + WaitFor("PID2", 22) + WaitFor("PID3", 33) +
           L"ping -n 2 127.0.0.1\nIF %PID1_RUNNING%==TRUE GOTO :again\n"
           L"IF %PID2_RUNNING%==TRUE GOTO :again\nIF %PID3_RUNNING%==TRUE GOTO :again\n"
           L"del %0\n"},
      {"files and folders left", 0, 0,
       {L"C:\\N\\1.0\\a.dll", L"C:\\N\\launcher.exe"},
       {L"C:\\N", L"C:\\N\\1.0", L"C:\\N\\1.0\\res"},
       pid1_only +
           L"del \"C:\\N\\1.0\\a.dll\"\ndel \"C:\\N\\launcher.exe\"\n"
           L"rmdir \"C:\\N\\1.0\\res\"\nrmdir \"C:\\N\\1.0\"\nrmdir \"C:\\N\"\ndel %0\n"},
      {"letters and per-cent signs", 0, 0,
       {L"C:\\Caf\u00e9 100% %PATH%\\\u65e5\u672c.dll"},
       {L"C:\\Caf\u00e9 100% %PATH%"},
       pid1_only +
           L"del \"C:\\Caf\u00e9 100%% %%PATH%%\\\u65e5\u672c.dll\"\n"
           L"rmdir \"C:\\Caf\u00e9 100%% %%PATH%%\"\ndel %0\n"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildUninstallScript(11, c.pid2, c.pid3, c.files, c.folders), c.expected) << c.name;
  }
}

// cmd.exe reads a batch file in its console's code page, not in UTF-8.
TEST(UninstallScriptTest, EncodedInTheConsoleCodePageWhenItCan) {
  const unsigned kOem437 = 437;
  EXPECT_EQ(EncodeUninstallScript(L"del \"C:\\Caf\u00e9\"\n", kOem437), "del \"C:\\Caf\x82\"\n");
  EXPECT_EQ(EncodeUninstallScript(L"del \"C:\\\u65e5\"\n", kOem437),
            "chcp 65001 >nul\ndel \"C:\\\xe6\x97\xa5\"\n");
  EXPECT_EQ(EncodeUninstallScript(L"del %0\n", kOem437), "del %0\n");
}

}  // namespace
}  // namespace norva::installer
