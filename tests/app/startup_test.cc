#include "app/startup.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "app/help_text.h"
#include "base/command_line.h"
#include "base/file_util.h"
#include "base/strings.h"
#include "installer/installation_folder.h"
#include "product/installer_features.h"
#include "product/languages.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "system/object_names.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

constexpr wchar_t kInternetSettings[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";

DWORD SecureProtocols() {
  DWORD value = 0, size = sizeof(value);
  RegGetValueW(HKEY_CURRENT_USER, kInternetSettings, L"SecureProtocols", RRF_RT_REG_DWORD, nullptr,
               &value, &size);
  return value;
}

// Only XP and Server 2003 read "SecureProtocols": without TLS 1.0 in it they
// switch it on and restart the process.
TEST(TlsCheckTest, EnablesTls10OnlyWhereItIsOff) {
  test::RegistryKeyGuard guard(HKEY_CURRENT_USER, kInternetSettings);
  struct Case {
    int rank;
    std::optional<DWORD> before;  // none: the value is missing
    bool enabled;                 // EnsureTlsEnabled's answer; false restarts
    DWORD after;
    const char* log;
  } cases[] = {
      {kWindows7, 8, true, 8, nullptr},  // modern systems neither read nor write
      {kWindowsXP, std::nullopt, false, 160, "Restarting process after enabling TLS 1.0"},
      {kWindowsServer2003, std::nullopt, false, 160, "Restarting process after enabling TLS 1.0"},
      {kWindowsXP, 128, true, 128, "TLS 1.0 or above is enabled."},
      {kWindowsXP, 2048 + 8, true, 2048 + 8, "TLS 1.0 or above is enabled."},
      {kWindowsXP, 40, false, 168, nullptr},  // SSL 3.0 and 2.0 only
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rank * 10000 + static_cast<int>(c.before.value_or(9999)));
    SetWindowsVersionRankForTesting(c.rank);
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kInternetSettings, L"SecureProtocols");
    if (c.before)
      RegSetKeyValueW(HKEY_CURRENT_USER, kInternetSettings, L"SecureProtocols", REG_DWORD,
                      &*c.before, sizeof(DWORD));
    int restarts = 0;
    test::LogCapture log;
    EXPECT_EQ(EnsureTlsEnabled([&restarts] { ++restarts; }), c.enabled);
    EXPECT_EQ(restarts, c.enabled ? 0 : 1);
    EXPECT_EQ(SecureProtocols(), c.after);
    if (c.log) {
      EXPECT_TRUE(log.Contains(c.log));
    }
  }
  SetWindowsVersionRankForTesting(-1);
}

// An installer runs from wherever it was downloaded to, beside whatever DLLs
// were left there: neither that folder nor the current one is searched.
TEST(StartupTest, DllSearchLeavesOutTheCurrentAndTheExecutablesFolder) {
  test::ScratchFolder current;
  const std::filesystem::path beside_executable =
      GetExecutablePath().parent_path() / L"planted_beside.dll";
  const std::filesystem::path kPlanted[] = {current.path() / L"planted.dll", beside_executable};
  for (const auto& planted : kPlanted) ASSERT_TRUE(CopyFile(GetExecutablePath(), planted));
  wchar_t saved[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW(current.path().c_str());
  RestrictDllSearch();
  std::vector<HMODULE> modules;
  for (const auto& planted : kPlanted) modules.push_back(LoadLibraryW(planted.filename().c_str()));
  HMODULE system = LoadLibraryW(L"version.dll");
  SetCurrentDirectoryW(saved);
  for (size_t i = 0; i < modules.size(); ++i) EXPECT_EQ(modules[i], nullptr) << kPlanted[i];
  EXPECT_NE(system, nullptr);
  modules.push_back(system);
  for (HMODULE module : modules)
    if (module) FreeLibrary(module);
  std::filesystem::remove(beside_executable);
}

// Checking a typed folder on a drive without its medium must not put up the
// system's "no disk" box; what else the process chose stays.
TEST(StartupTest, StartUpKeepsTheSystemsErrorBoxesAway) {
  const UINT saved = GetErrorMode();
  SetErrorMode(SEM_NOGPFAULTERRORBOX);
  RestrictDllSearch();
  const UINT mode = GetErrorMode();
  SetErrorMode(saved);
  EXPECT_EQ(mode & SEM_FAILCRITICALERRORS, UINT{SEM_FAILCRITICALERRORS});
  EXPECT_EQ(mode & SEM_NOOPENFILEERRORBOX, UINT{SEM_NOOPENFILEERRORBOX});
  EXPECT_EQ(mode & SEM_NOGPFAULTERRORBOX, UINT{SEM_NOGPFAULTERRORBOX});
}

TEST(StartupTest, InstallationFolderIsTheParentOnlyWhenItHoldsTheLauncher) {
  test::ScratchFolder scratch;
  auto version_folder = scratch.path() / L"37.0.2163.0";
  std::filesystem::create_directories(version_folder);
  EXPECT_EQ(FindInstallationFolder(version_folder), version_folder);
  test::WriteFile(scratch.path() / L"launcher.exe", "MZ");
  EXPECT_EQ(FindInstallationFolder(version_folder), scratch.path());
  test::WriteFile(version_folder / L"launcher.exe", "MZ");
  EXPECT_EQ(FindInstallationFolder(version_folder), version_folder);
}

TEST(StartupTest, InsidePackageNeedsBrowserFilesListAndTheInstallerName) {
  test::ScratchFolder scratch;
  auto installer = scratch.path() / L"INSTALLER.exe";
  test::WriteFile(installer, "MZ");
  EXPECT_FALSE(IsInsidePackage(installer, false));
  EXPECT_FALSE(IsInsidePackage(installer, true));
  test::WriteFile(scratch.path() / L"norva.exe", "MZ");
  EXPECT_FALSE(IsInsidePackage(installer, false));  // no files_list yet
  EXPECT_TRUE(IsInsidePackage(installer, true));    // uninstalling needs only the browser
  test::WriteFile(scratch.path() / L"files_list", "norva.exe\r\n");
  EXPECT_TRUE(IsInsidePackage(installer, false));
  EXPECT_FALSE(IsInsidePackage(scratch.path() / L"setup.exe", false));
}

TEST(StartupTest, LegacyAutoupdateRecoversTheFolderFromTheLastArgument) {
  struct Case {
    const wchar_t* line;
    const wchar_t* folder;
    bool silent;
    bool run_immediately;
  } cases[] = {
      {L"i.exe --installfolder=C:\\Norva --silent", L"C:\\Norva", true, false},
      {L"i.exe --installfolder= --autoupdate --silent C:\\Old\\Norva", L"C:\\Old\\Norva", false,
       true},
      {L"i.exe --installfolder= --autoupdate --silent Old\\Norva", L"", true, false},
      {L"i.exe --installfolder= --silent C:\\Old\\Norva", L"", true, false},
      {L"i.exe --autoupdate --silent C:\\Old\\Norva", L"", true, false},
  };
  for (const Case& c : cases) {
    CommandLine line = CommandLine::FromString(c.line);
    bool silent = line.HasSwitch("silent");
    bool run_immediately = false;
    test::LogCapture log;
    EXPECT_EQ(InstallFolderFromCommandLine(line, line.HasSwitch("autoupdate"), &silent,
                                           &run_immediately),
              std::filesystem::path(c.folder))
        << c.line;
    EXPECT_EQ(silent, c.silent) << c.line;
    EXPECT_EQ(run_immediately, c.run_immediately) << c.line;
    EXPECT_EQ(log.Contains("Configuring for N12 autoupdate."), c.run_immediately) << c.line;
  }
}

// An absolute folder from the switch is taken as it is; any other value would
// name a folder under the current one, so the folder is chosen as without it:
// the first base from which a copy of the installer runs.
TEST(StartupTest, DownloadFolderFromTheSwitchOnlyWhenAbsolute) {
  const std::filesystem::path installer = GetExecutablePath().parent_path() / L"installer.exe";
  const std::filesystem::path chosen = GetTempFolder() / L"Norva Installer";
  struct Case {
    const wchar_t* value;  // null: no switch
    std::filesystem::path folder;
  } cases[] = {
      {L"Q:\\does\\not\\exist", L"Q:\\does\\not\\exist"},
      {L"\\\\server\\share\\dl", L"\\\\server\\share\\dl"},
      {nullptr, chosen}, {L"", chosen}, {L"dl", chosen}, {L".", chosen}, {L"\\dl", chosen},
      {L"C:dl", chosen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value ? WideToUtf8(c.value) : "no switch");
    CommandLine line(installer);
    if (c.value) line.AppendSwitchValue("temp-folder", c.value);
    test::LogCapture log;
    FilePath folder;
    ASSERT_TRUE(ChooseDownloadFolder(line, installer, &folder));
    EXPECT_EQ(folder, c.folder);
    EXPECT_EQ(log.Contains("Ignoring the temp-folder value, which is not an absolute path"),
              c.value && c.folder == chosen);
  }
  EXPECT_TRUE(std::filesystem::is_directory(chosen));
  EXPECT_FALSE(std::filesystem::exists(chosen / L"installer.exe"));  // the test copy is gone
}

// A base counts only when the copy run there answers as the installer does
// (exit code 0). The test holder stands in for the copy and ends with the
// code it is given, as one the system stopped before it ran would.
TEST(StartupTest, DownloadFolderNeedsTheCopysOwnAnswer) {
  const std::filesystem::path holder = GetExecutablePath().parent_path() / L"test_holder.exe";
  const struct {
    const wchar_t* behaviour;
    bool usable;
  } kCases[] = {
      {L"exit=0", true},
      {L"exit=-1073741515", false},  // 0xC0000135, a DLL not found
      {L"exit=-1073741502", false},  // 0xC0000142, a DLL that failed to start
      {L"exit=-1073741819", false},  // 0xC0000005
      {L"exit=1", false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.behaviour));
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", c.behaviour);
    FilePath folder;
    const bool chosen = ChooseDownloadFolder(CommandLine(holder), holder, &folder);
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", nullptr);
    EXPECT_EQ(chosen, c.usable);
    if (c.usable) {
      EXPECT_EQ(folder, GetTempFolder() / L"Norva Installer");
    }
    EXPECT_FALSE(std::filesystem::exists(holder.parent_path() / L"Norva Installer"));
  }
}

TEST(StartupTest, LogFileNameCarriesTheStartTime) {
  std::filesystem::path path = LogFilePathFor(
      {.wYear = 2026, .wMonth = 12, .wDay = 5, .wHour = 4, .wMinute = 48, .wSecond = 2});
  EXPECT_EQ(path.filename(), std::filesystem::path(L"norva_installer_20261205044802.log"));
  EXPECT_EQ(path.parent_path().filename(), std::filesystem::path(L"Norva Installer"));
}

// SYSTEM on a system without GetTempPath2: a "Norva Installer" folder that
// someone made first in the shared temporary folder is not used, neither for
// the log nor for the download; the run's own folder is, and goes at its end.
TEST(StartupTest, SystemWithoutGetTempPath2KeepsOutOfTheSharedTemporaryFolder) {
  const std::filesystem::path installer = GetExecutablePath().parent_path() / L"installer.exe";
  const std::filesystem::path planted = GetTempFolder() / L"Norva Installer";
  ASSERT_TRUE(CreateDirectories(planted));
  struct AsSystem {
    TempFolderConditions conditions{.as_system = true, .temp_path2_missing = true};
    AsSystem() { SetTempFolderConditionsForTesting(&conditions); }
    ~AsSystem() {
      RemoveRunTempFolder();
      SetTempFolderConditionsForTesting(nullptr);
    }
  };
  auto as_system = std::make_unique<AsSystem>();
  const std::filesystem::path own = GetRunTempFolder();
  ASSERT_FALSE(own.empty());
  EXPECT_NE(own, GetTempFolder());

  EXPECT_EQ(LogFilePathFor({.wYear = 2026, .wMonth = 1, .wDay = 2}).parent_path(),
            own / L"Norva Installer");
  FilePath folder;
  EXPECT_TRUE(ChooseDownloadFolder(CommandLine(installer), installer, &folder));
  EXPECT_EQ(folder, own / L"Norva Installer");

  EXPECT_TRUE(RemoveRunTempFolder());
  as_system.reset();
  EXPECT_FALSE(std::filesystem::exists(own));
  EXPECT_TRUE(std::filesystem::is_directory(planted));
}

TEST(StartupTest, ObjectNamesForFolders) {
  EXPECT_EQ(GetObjectNameForFolder(L"NorvaInstaller/PackageReady", L"C:\\Program Files\\Norva",
                                   true),
            L"Global\\NorvaInstaller/PackageReady/C:/Program Files/Norva");
  EXPECT_EQ(GetObjectNameForFolder(L"NorvaInstaller/GiveInstallPermission", L"D:\\N", false),
            L"Local\\NorvaInstaller/GiveInstallPermission/D:/N");

  // Every spelling of one folder names the same objects, existing or not
  // yet; the spelling the file system uses keeps today's name.
  test::ScratchFolder scratch;
  std::filesystem::path folder = scratch.path() / L"Mixed Case \u00c9";
  std::filesystem::create_directories(folder);
  const std::wstring canonical = GetObjectNameForFolder(L"N", folder, true);
  std::wstring expected = L"Global\\N/" + folder.native();
  std::replace(expected.begin() + 7, expected.end(), L'\\', L'/');
  EXPECT_EQ(canonical, expected);
  std::filesystem::path other = ToLowerASCII(scratch.path().native());
  other /= L"MIXED case \u00c9";
  EXPECT_EQ(GetObjectNameForFolder(L"N", other, true), canonical);
  EXPECT_EQ(GetObjectNameForFolder(L"N", other / L"Not Yet", true), canonical + L"/Not Yet");
}

TEST(HelpTextTest, ListsEverySwitchLanguageAndExperiment) {
  FeatureRegistry::Get().ResetForTesting();
  FeatureRegistry::Get().RegisterDefaults();
  std::string text = BuildHelpText();
  EXPECT_EQ(text.rfind("Norva Installer 37.0.2163.0 developer\n\n", 0), 0u) << text;
  // A switch with its value, description and default, each on a line of its own.
  EXPECT_NE(text.find("\n  setdefaultbrowser=[0|1]\n    If true, make Norva the default browser "
                      "for this user or computer.\n    Default value: True for Norva Stable.\n"),
            std::string::npos) << text;
  std::string languages;
  for (const std::wstring& code : l10n::AvailableLanguages())
    languages += (languages.empty() ? "" : ", ") + WideToUtf8(code);
  EXPECT_NE(text.find("\nLanguages available for the language option:\n" + languages + "\n"),
            std::string::npos);
  for (const FeatureRegistry::Feature& feature : FeatureRegistry::Get().features()) {
    EXPECT_NE(text.find("\t--with-feature:" + feature.name + " [Enabled by default: " +
                        (feature.enabled_by_default ? "true" : "false") + "]\n"),
              std::string::npos) << feature.name;
  }
  EXPECT_EQ(text.back(), '\n');
}

}  // namespace
}  // namespace norva::installer
