#include "engine/uninstall_script.h"

#include <windows.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/strings.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

// Every process of the golden texts runs "installer.exe".
std::wstring Installer(uint32_t) { return L"installer.exe"; }

std::wstring WaitFor(const char* name, uint32_t pid) {
  std::wstring n = Utf8ToWide(name);
  std::wstring id = std::to_wstring(pid);
  return L"IF %" + n + L"_RUNNING%==TRUE (\n" + L"TASKLIST /FI \"PID eq " + id +
         L"\" /FO CSV /NH | FIND /c /i \"\"\"installer.exe\"\",\"\"" + id + L"\"\"\"\n" +
         L"IF ERRORLEVEL 1 SET " + n + L"_RUNNING=FALSE\n)\n";
}

// The end of the wait: while a process runs, a round every second or so,
// two minutes at most; none running, no pause.
std::wstring WaitRounds(const std::vector<const char*>& names) {
  std::wstring text;
  for (const char* name : names)
    text += L"IF %" + Utf8ToWide(name) + L"_RUNNING%==TRUE GOTO :pause\n";
  return text + L"GOTO :waited\n:pause\nping -n 2 127.0.0.1\nSET /A WAIT_ROUNDS+=1\n"
                L"IF %WAIT_ROUNDS% GEQ 120 GOTO :waited\nGOTO :again\n:waited\n";
}

// The lines that delete the `n`th file, `quoted`, trying again while it stays.
std::wstring Delete(int n, const std::wstring& quoted) {
  std::wstring i = std::to_wstring(n);
  return L":del" + i + L"\ndel " + quoted + L"\nIF NOT EXIST " + quoted + L" GOTO :deleted" + i +
         L"\nSET /A DEL_TRIES+=1\nIF %DEL_TRIES% GEQ 60 GOTO :deleted" + i +
         L"\nping -n 2 127.0.0.1\nGOTO :del" + i + L"\n:deleted" + i + L"\n";
}

// The last line: the script in `folder` (quoted, as the script spells it)
// moves out of it, removes it and deletes itself.
std::wstring SelfRemoval(const std::wstring& folder) {
  std::wstring own = folder.substr(0, folder.size() - 1) + L"\\k.bat\"";
  return L"move /y " + own + L" \"%TEMP%\\k_11.bat\" & rmdir " + folder +
         L" & del \"%TEMP%\\k_11.bat\" & del " + own + L"\n";
}

TEST(UninstallScriptTest, GoldenTexts) {
  const std::wstring pid1_only = L"SET PID1_RUNNING=TRUE\nSET WAIT_ROUNDS=0\n:again\n" +
                                 WaitFor("PID1", 11) + WaitRounds({"PID1"});
  const std::wstring cd = L"cd /d \"%SystemRoot%\"\n";
  struct Case {
    const char* name;
    uint32_t pid2, pid3;
    std::vector<FilePath> files;
    std::set<FilePath> folders;
    FilePath script;
    std::wstring expected;
  };
  const Case cases[] = {
      {"PID1 only", 0, 0, {}, {}, L"C:\\N\\k.bat", pid1_only + cd + SelfRemoval(L"\"C:\\N\"")},
      {"all three", 22, 33, {}, {}, L"C:\\N\\k.bat",
       L"SET PID1_RUNNING=TRUE\nSET PID2_RUNNING=TRUE\nSET PID3_RUNNING=TRUE\n"
       L"SET WAIT_ROUNDS=0\n:again\n" +
           WaitFor("PID1", 11) + WaitFor("PID2", 22) + WaitFor("PID3", 33) +
           WaitRounds({"PID1", "PID2", "PID3"}) + cd + SelfRemoval(L"\"C:\\N\"")},
      {"files and folders left", 0, 0,
       {L"C:\\N\\1.0\\a.dll", L"C:\\N\\launcher.exe"},
       {L"C:\\N", L"C:\\N\\1.0", L"C:\\N\\1.0\\res"},
       L"C:\\N\\k.bat",
       pid1_only + L"SET DEL_TRIES=0\n" + Delete(1, L"\"C:\\N\\1.0\\a.dll\"") +
           Delete(2, L"\"C:\\N\\launcher.exe\"") + cd +
           L"rmdir \"C:\\N\\1.0\\res\"\nrmdir \"C:\\N\\1.0\"\nrmdir \"C:\\N\"\n" +
           SelfRemoval(L"\"C:\\N\"")},
      {"letters and per-cent signs", 0, 0,
       {L"C:\\Caf\u00e9 100% %PATH%\\\u65e5\u672c.dll"},
       {L"C:\\Caf\u00e9 100% %PATH%"},
       L"C:\\Caf\u00e9 100% %PATH%\\k.bat",
       pid1_only + L"SET DEL_TRIES=0\n" +
           Delete(1, L"\"C:\\Caf\u00e9 100%% %%PATH%%\\\u65e5\u672c.dll\"") + cd +
           L"rmdir \"C:\\Caf\u00e9 100%% %%PATH%%\"\n" +
           SelfRemoval(L"\"C:\\Caf\u00e9 100%% %%PATH%%\"")},
      // Between quotes these are plain letters, with delayed expansion off.
      {"carets, bangs, ampersands and brackets", 0, 0,
       {L"C:\\A^B!C & (D)\\x^!.dll"},
       {L"C:\\A^B!C & (D)"},
       L"C:\\A^B!C & (D)\\k.bat",
       pid1_only + L"SET DEL_TRIES=0\n" + Delete(1, L"\"C:\\A^B!C & (D)\\x^!.dll\"") + cd +
           L"rmdir \"C:\\A^B!C & (D)\"\n" + SelfRemoval(L"\"C:\\A^B!C & (D)\"")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(BuildUninstallScript(11, c.pid2, c.pid3, c.files, c.folders, c.script, {}, Installer),
              c.expected)
        << c.name;
  }
}

// Windows gives an ended process's id to the next one: the wait looks for the
// id together with the program, and where cmd.exe would take part of the
// program's name for its own syntax, for the rest of it. Without a name, any
// program of that id holds the wait up, as long as the wait lasts.
TEST(UninstallScriptTest, WaitLooksForTheProgramAndTheId) {
  const struct {
    const wchar_t* image;
    const wchar_t* check;
  } kCases[] = {
      {L"installer.exe",
       L"TASKLIST /FI \"PID eq 11\" /FO CSV /NH | FIND /c /i \"\"\"installer.exe\"\",\"\"11\"\"\""},
      {L"norva_installer (1).exe",
       L"TASKLIST /FI \"PID eq 11\" /FO CSV /NH | "
       L"FIND /c /i \"\"\"norva_installer (1).exe\"\",\"\"11\"\"\""},
      {L"A^B & (C).exe",
       L"TASKLIST /FI \"PID eq 11\" /FO CSV /NH | FIND /c /i \"\"\"A^B & (C).exe\"\",\"\"11\"\"\""},
      {L"Norva 100%.exe",
       L"TASKLIST /FI \"PID eq 11\" /FO CSV /NH | FIND /c /i \".exe\"\",\"\"11\"\"\""},
      {L"a%PATH%b!c!d^.exe",
       L"TASKLIST /FI \"PID eq 11\" /FO CSV /NH | FIND /c /i \"d^.exe\"\",\"\"11\"\"\""},
      {L"\u00dcber.exe",
       L"TASKLIST /FI \"PID eq 11\" /FO CSV /NH | FIND /c /i \"\"\"\u00dcber.exe\"\",\"\"11\"\"\""},
      {L"", L"TASKLIST /FI \"PID eq 11\" | FIND /c /i \".exe\""},
  };
  for (const auto& c : kCases) {
    std::wstring script = BuildUninstallScript(11, 0, 0, {}, {}, L"C:\\N\\k.bat", {},
                                               [&](uint32_t) { return std::wstring(c.image); });
    EXPECT_NE(script.find(L"\nIF %PID1_RUNNING%==TRUE (\n" + std::wstring(c.check) + L"\n"),
              std::wstring::npos)
        << WideToUtf8(c.image) << "\n"
        << WideToUtf8(script);
  }
}

// The script's own process is found by what it runs.
TEST(UninstallScriptTest, ImageNameOfARunningProcess) {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  ASSERT_GT(length, 0u);
  const std::wstring image = ProcessImageName(GetCurrentProcessId());
  EXPECT_TRUE(EqualsCaseInsensitiveASCII(
      image, FilePath(std::wstring(path, length)).filename().native()));
  const std::wstring script =
      BuildUninstallScript(GetCurrentProcessId(), 0, 0, {}, {}, L"C:\\N\\k.bat");
  EXPECT_NE(script.find(L" /FO CSV /NH | FIND /c /i \"\"\"" + image), std::wstring::npos)
      << WideToUtf8(script);
}

TEST(UninstallScriptTest, ProcessIdsOfASwitch) {
  const std::pair<const wchar_t*, uint32_t> kCases[] = {
      {L"1290", 1290},    {L"0987654321", 987654321}, {L"4294967295", 4294967295u},
      {L"4294967296", 0}, {L"12345678901", 0},        {L"", 0},
      {L"-1", 0},         {L"12a", 0},                {L"1 2", 0},
      {L"+9", 0},         {L"9/", 0},                 {L"9:", 0},
      {L"00000000001", 0}, {L"18446744073709551617", 0},  // 2^64 + 1
  };
  for (const auto& [text, pid] : kCases) EXPECT_EQ(ParseProcessId(text), pid) << WideToUtf8(text);
}

// Paths appear as the spelling gives them, but folders still go deepest
// first by their own names: "C:\PROGRA~1" sorts before "C:\Program Files",
// its parent's spelling.
TEST(UninstallScriptTest, SpelledPathsKeepTheFoldersInOrder) {
  const std::map<std::wstring, std::wstring> spellings = {
      {L"C:\\Program Files\\\u65e5", L"C:\\PROGRA~1\\FF~1"},
      {L"C:\\Program Files\\\u65e5\\a.dll", L"C:\\PROGRA~1\\FF~1\\a.dll"}};
  auto spell = [&](const FilePath& path) {
    auto found = spellings.find(path.native());
    return found == spellings.end() ? path : FilePath(found->second);
  };
  std::wstring script = BuildUninstallScript(
      11, 0, 0, {L"C:\\Program Files\\\u65e5\\a.dll"},
      {L"C:\\Program Files", L"C:\\Program Files\\\u65e5"}, L"C:\\Program Files\\\u65e5\\k.bat",
      spell);
  EXPECT_NE(script.find(L"\ndel \"C:\\PROGRA~1\\FF~1\\a.dll\"\n"), std::wstring::npos) << script;
  EXPECT_NE(script.find(L"\nrmdir \"C:\\PROGRA~1\\FF~1\"\nrmdir \"C:\\Program Files\"\n"),
            std::wstring::npos)
      << script;
  EXPECT_NE(script.find(L"\nmove /y \"C:\\PROGRA~1\\FF~1\\k.bat\" "), std::wstring::npos)
      << script;
  EXPECT_EQ(script.find(L"\u65e5"), std::wstring::npos) << script;
}

// cmd.exe reads a batch file in its console's code page, not in UTF-8.
TEST(UninstallScriptTest, EncodedInTheConsoleCodePageWhenItCan) {
  const unsigned kOem437 = 437;
  EXPECT_EQ(EncodeUninstallScript(L"del \"C:\\Caf\u00e9\"\n", kOem437), "del \"C:\\Caf\x82\"\n");
  EXPECT_EQ(EncodeUninstallScript(L"del \"C:\\\u65e5\"\n", kOem437),
            "chcp 65001 >nul\ndel \"C:\\\xe6\x97\xa5\"\n");
  EXPECT_EQ(EncodeUninstallScript(L"rmdir \"C:\\N\"\n", kOem437), "rmdir \"C:\\N\"\n");
  EXPECT_EQ(EncodeUninstallScript(L"del \"C:\\\u65e5\"\n", CP_UTF8), "del \"C:\\\xe6\x97\xa5\"\n");
}

// A folder whose name the console's code page cannot write goes by its short
// form, where the volume keeps one (else the script falls back to UTF-8).
TEST(UninstallScriptTest, ConsoleSpellingNamesTheSameFolder) {
  const unsigned kOem437 = 437;
  test::ScratchFolder scratch;
  const FilePath latin = FilePath(scratch.path().native()) / L"Caf\u00e9 & co";
  const FilePath cjk = FilePath(scratch.path().native()) / L"Norva \u65e5\u672c";
  ASSERT_TRUE(CreateDirectoryW(latin.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW(cjk.c_str(), nullptr));
  EXPECT_EQ(ConsoleSpelling(latin, kOem437), latin);
  EXPECT_EQ(ConsoleSpelling(cjk, CP_UTF8), cjk);

  FilePath spelled = ConsoleSpelling(cjk, kOem437);
  wchar_t short_form[MAX_PATH] = {};
  if (GetShortPathNameW(cjk.c_str(), short_form, MAX_PATH) == 0 ||
      FilePath(short_form) == cjk) {
    EXPECT_EQ(spelled, cjk);  // no short names on this volume
    return;
  }
  EXPECT_NE(spelled, cjk);
  EXPECT_EQ(EncodeUninstallScript(spelled.native(), kOem437).find("chcp"), std::string::npos);
  std::filesystem::path probe = spelled.native() + L"\\probe";
  ASSERT_TRUE(CreateDirectoryW(probe.c_str(), nullptr));
  EXPECT_TRUE(std::filesystem::is_directory(cjk.native() + L"\\probe"));
}

}  // namespace
}  // namespace norva::installer
