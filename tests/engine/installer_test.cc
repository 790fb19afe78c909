#include "engine/installer.h"

#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "product/product_info.h"
#include "system/install_log.h"
#include "system/shortcut_steps.h"
#include "system/transactions/journal.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/file_helpers.h"
#include "system/object_names.h"
#include "system/windows_version.h"
#include "support/wait.h"

namespace norva::installer {
namespace {

using test::EngineEnvironment;
using test::MachineSnapshot;
using test::RecordingObserver;
using test::RunOptions;

const std::vector<std::wstring> kPerUser = {L"--allusers=0", L"--launchnorva=0"};

std::string Version() { return product::ProductVersion(); }

class InstallerTest : public testing::Test {
 protected:
  std::filesystem::path Folder(const wchar_t* name = L"Norva (x&y) %TEMP% \u00e9t\u00e9") {
    return env_.scratch() / L"installs" / name;
  }

  EngineEnvironment env_;
};

TEST_F(InstallerTest, FirstInstallationCopiesRegistersAndRecords) {
  std::filesystem::path folder = Folder();
  RecordingObserver run = env_.Run(folder, {kPerUser});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  std::filesystem::path subfolder = folder / Utf8ToWide(Version());
  for (const wchar_t* file : {L"norva.exe", L"installer.exe",
                              L"resources\\resources.pak", L"resources\\locales\\de.pak"})
    EXPECT_TRUE(PathExists(subfolder / file)) << file;
  EXPECT_TRUE(PathExists(folder / L"launcher.exe"));
  EXPECT_TRUE(PathExists(folder / L"installer_prefs.json"));

  test::ScopedCom com;
  InstallLog log;
  ASSERT_TRUE(LoadInstallLog(folder / L"installation_status.xml", &log));
  EXPECT_EQ(log.version, Version());
  EXPECT_EQ(log.subfolder, Utf8ToWide(Version()));
  EXPECT_FALSE(log.all_users);
  EXPECT_FALSE(log.hkcu_keys.empty());
  EXPECT_TRUE(log.hklm_keys.empty());

  std::wstring uninstall = test::UninstallKeyBase();
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, uninstall, L"InstallLocation"),
            folder.native());
  // The settings read this value back to propose the folder next time.
  std::wstring company_key = L"Software\\" + Utf8ToWide(product::CompanyName());
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, company_key,
                                (L"Last " + Utf8ToWide(product::InternalStreamName()) +
                                 L" Install Path x64")
                                    .c_str()),
            folder.native() + L"\\");
  EXPECT_EQ(run.events.front(), "started");
  EXPECT_EQ(run.steps, run.total);
}


TEST_F(InstallerTest, ProgressCountsEveryFileAndEndsWithTheTotal) {
  std::filesystem::path package = env_.scratch() / L"small";
  test::MakeSmallPackage(package, {"a.dll", "sub\\b.dat", "c.txt"}, {"r1.txt", "r2.txt"});
  RecordingObserver run = env_.Run(Folder(L"progress"), {.switches = kPerUser, .package = package});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_EQ(run.total, 11);
  EXPECT_EQ(run.steps, 11);
  EXPECT_TRUE(PathExists(Folder(L"progress") / L"r2.txt"));
  EXPECT_TRUE(PathExists(Folder(L"progress") / Utf8ToWide(Version()) / L"sub\\b.dat"));
}

// The run's own package gives its files up to a per-user installation, and
// gets them back when the installation fails; every other package is copied.
TEST_F(InstallerTest, OwnPackageIsMovedIntoPlaceAndBackWhenTheRunFails) {
  struct Case {
    const char* name;
    std::vector<std::wstring> switches;
    std::string files_list;
    bool succeeds;
    bool moved;  // a.dll and sub\b.dat left the package
  };
  const std::string files = "installer.exe\r\na.dll\r\nsub\\b.dat\r\n";
  const Case cases[] = {
      {"own package", {L"--movable-package"}, files, true, true},
      {"someone else's package", {}, files, true, false},
      {"for all users", {L"--movable-package", L"--allusers=1"}, files, true, false},
      {"named twice", {L"--movable-package"}, files + "A.dll\r\nSUB\\b.dat\r\n", true, false},
      {"failing", {L"--movable-package"}, files + "not-there.dll\r\n", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::path package = env_.scratch() / L"own";
    std::filesystem::remove_all(package);
    test::MakeSmallPackage(package, {"installer.exe", "a.dll", "sub\\b.dat"}, {});
    test::WriteFile(package / L"files_list", c.files_list);
    test::FolderSnapshot package_before = test::FolderSnapshot::Take(package);
    std::filesystem::path folder = Folder(L"own package");
    RunOptions options{c.switches};
    options.switches.push_back(L"--launchnorva=0");
    if (c.switches.size() < 2) options.switches.push_back(L"--allusers=0");
    options.package = package;
    RecordingObserver run = env_.Run(folder, options);
    ASSERT_EQ(run.succeeded, c.succeeds) << run.failed_message;
    std::filesystem::path subfolder = folder / Utf8ToWide(Version());
    if (c.succeeds) {
      for (const wchar_t* file : {L"installer.exe", L"a.dll", L"sub\\b.dat"})
        EXPECT_EQ(test::ReadFile(subfolder / file), WideToUtf8(file));
      EXPECT_TRUE(PathExists(folder / L"launcher.exe"));
      EXPECT_TRUE(PathExists(package / L"installer.exe"));
      EXPECT_TRUE(PathExists(package / L"launcher.exe"));
      EXPECT_EQ(PathExists(package / L"a.dll"), !c.moved);
      EXPECT_EQ(PathExists(package / L"sub\\b.dat"), !c.moved);
    } else {
      EXPECT_FALSE(PathExists(folder));
      EXPECT_EQ(package_before.DifferencesTo(test::FolderSnapshot::Take(package)), "");
    }
    std::filesystem::remove_all(folder);
    test::RemoveProductTraces();
  }
}

TEST_F(InstallerTest, SubfolderTakesTheFirstFreeNumberedName) {
  struct Case {
    std::vector<std::string> present;
    std::string expected;
  };
  const Case cases[] = {{{""}, "_0"}, {{"", "_0"}, "_1"}, {{"_1"}, ""}};
  int index = 0;
  for (const Case& c : cases) {
    std::filesystem::path folder = Folder((L"sub" + std::to_wstring(index++)).c_str());
    for (const std::string& suffix : c.present)
      test::WriteFile(folder / Utf8ToWide(Version() + suffix) / L"keep.txt", "x");
    RecordingObserver run = env_.Run(folder, {kPerUser});
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    EXPECT_TRUE(PathExists(folder / Utf8ToWide(Version() + c.expected) / L"norva.exe"))
        << c.expected;
    test::RemoveProductTraces();
  }
}

// Each bad package or folder ends in its message and leaves nothing behind.
TEST_F(InstallerTest, BadInputFailsCleanly) {
  struct Case {
    const char* name;
    std::string files_list;  // written as "files_list"; "<none>" removes it
    bool remove_launcher;
    int message;
  };
  const Case cases[] = {
      {"missing list", "<none>", false, IDS_GENERAL_FAILURE},
      {"empty list", "\r\n\r\n", false, IDS_GENERAL_FAILURE},
      {"parent path", "launcher.exe\r\n..\\outside.txt\r\n", false, IDS_GENERAL_FAILURE},
      {"absolute path", "C:\\windows\\win.ini\r\n", false, IDS_GENERAL_FAILURE},
      {"missing file", "launcher.exe\r\nnot-there.dll\r\n", false, IDS_COPY_FAILED},
      {"no launcher", "norva.exe\r\n", true, IDS_COPY_FAILED},
  };
  std::filesystem::path folder = Folder(L"bad input");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::path package = env_.scratch() / L"bad";
    std::filesystem::remove_all(package);
    std::filesystem::copy(env_.package(), package, std::filesystem::copy_options::recursive);
    if (c.files_list == "<none>")
      std::filesystem::remove(package / L"files_list");
    else
      test::WriteFile(package / L"files_list", c.files_list);
    if (c.remove_launcher) std::filesystem::remove(package / L"launcher.exe");
    MachineSnapshot before = MachineSnapshot::Take(folder.parent_path());
    RecordingObserver run = env_.Run(folder, {.switches = kPerUser, .package = package});
    EXPECT_FALSE(run.succeeded);
    EXPECT_EQ(run.failed_id, c.message) << run.failed_message;
    EXPECT_EQ(run.events.back(), "terminated");
    EXPECT_EQ(before.DifferencesTo(MachineSnapshot::Take(folder.parent_path())), "");
  }
}

TEST_F(InstallerTest, InterruptionRollsBackAndOnlyTerminates) {
  std::filesystem::path folder = Folder(L"interrupted");
  MachineSnapshot before = MachineSnapshot::Take(folder.parent_path());
  HANDLE interrupted = env_.InterruptedEvent(folder);
  RecordingObserver observer;
  observer.on_step = [&](int step) {
    if (step != 4) return;
    // The watcher's task must queue behind the next step.
    auto runner = ThreadTaskRunnerHandle::Get();
    const uint64_t posted = runner->PostCountForTesting();
    SetEvent(interrupted);
    EXPECT_TRUE(test::WaitUntil([&] { return runner->PostCountForTesting() > posted; }));
  };
  RecordingObserver run = env_.Run(folder, {.switches = kPerUser, .observer = &observer});
  ResetEvent(interrupted);
  EXPECT_FALSE(run.succeeded);
  EXPECT_EQ(run.events.back(), "terminated");
  EXPECT_EQ(std::count(run.events.begin(), run.events.end(), "failed"), 0);
  EXPECT_EQ(before.DifferencesTo(MachineSnapshot::Take(folder.parent_path())), "");
}

// A journal a user planted for the next installation, naming what no
// installation writes: it changes nothing, each record is logged, and the
// installation that finds it goes on.
TEST_F(InstallerTest, APlantedJournalChangesNothingOutsideWhatTheInstallationOwns) {
  const std::filesystem::path folder = Folder(L"planted");
  const std::wstring server = L"Software\\Classes\\CLSID\\{4E0A3C6B-0000-4000-8000-00000000F00D}\\InprocServer32";
  const std::wstring other = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\OtherProgramTest";
  const std::wstring layers = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\Layers";
  const std::wstring launcher = (folder / L"launcher.exe").native();
  const std::wstring machine_key = L"Software\\" + Utf8ToWide(product::CompanyName()) + L"\\PlantedTest";
  const FilePath programs = GetShortcutFolders(false).folder[kStartMenuShortcut];
  ASSERT_TRUE(test::WriteRegString(HKEY_CURRENT_USER, server, nullptr, L"victim.dll"));
  ASSERT_TRUE(test::WriteRegString(HKEY_CURRENT_USER, other, L"UninstallString", L"other.exe"));
  ASSERT_TRUE(test::WriteRegString(HKEY_LOCAL_MACHINE, machine_key, L"v", L"keep"));
  auto value = [](uint32_t root, const std::wstring& key, const std::wstring& name, const wchar_t* text) {
    auto bytes = reinterpret_cast<const uint8_t*>(text);
    return JournalRecord{.kind = JournalRecord::Kind::kChangedValue,
                         .texts = {key, name},
                         .numbers = {root, static_cast<uint32_t>(text ? REG_SZ : kRemoveValueType)},
                         .blobs = {text ? std::vector<uint8_t>(bytes, bytes + (wcslen(text) + 1) * 2)
                                        : std::vector<uint8_t>()}};
  };
  const JournalRecord kPlanted[] = {
      {.kind = JournalRecord::Kind::kHeader, .texts = {folder.native()}},
      value(1, server, L"", L"evil.dll"),
      value(1, other, L"UninstallString", L"evil.exe"),
      value(1, layers, launcher, L"RUNASADMIN"),
      value(1, L"Software\\Classes", L"x", L"x"),
      value(2, machine_key, L"v", L"evil"),
      {.kind = JournalRecord::Kind::kCreatedFolder,
       .texts = {programs.native(), programs.parent_path().native()}},
  };
  std::string bytes = "NVJ1";
  for (const JournalRecord& record : kPlanted) {
    std::vector<uint8_t> encoded = EncodeJournalRecord(record);
    bytes.append(encoded.begin(), encoded.end());
  }
  FilePath journal = Journal::PathFor(FilePath(folder.native()), false);
  test::WriteFile(std::filesystem::path(journal.native()), bytes);

  test::LogCapture log;
  RecordingObserver run = env_.Run(folder, {kPerUser});
  EXPECT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, server), L"victim.dll");
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, other, L"UninstallString"), L"other.exe");
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, layers, launcher.c_str()), L"<missing>");
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, L"Software\\Classes", L"x"), L"<missing>");
  EXPECT_EQ(test::ReadRegString(HKEY_LOCAL_MACHINE, machine_key, L"v"), L"keep");
  EXPECT_TRUE(DirectoryExists(programs));
  size_t refused = 0;
  for (const std::string& line : log.Lines()) refused += line.find("Refusing a journal record") != std::string::npos;
  EXPECT_EQ(refused, std::size(kPlanted) - 1);
  for (const std::wstring& key : {server.substr(0, server.rfind(L'\\')), other})
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, machine_key.c_str());
}

TEST_F(InstallerTest, UpgradeKeepsAppIdAndUsesANewSubfolder) {
  std::filesystem::path folder = Folder(L"upgrade");
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  test::ScopedCom com;
  InstallLog first;
  ASSERT_TRUE(LoadInstallLog(folder / L"installation_status.xml", &first));
  // An id no new installation makes now: those take the current time.
  first.app_id = "1000000000";
  ASSERT_TRUE(test::WriteLogInto(folder, first));
  RecordingObserver run = env_.Run(folder, {kPerUser});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  InstallLog second;
  ASSERT_TRUE(LoadInstallLog(folder / L"installation_status.xml", &second));
  EXPECT_EQ(second.app_id, first.app_id);
  EXPECT_EQ(second.subfolder, Utf8ToWide(Version() + "_0"));
  EXPECT_TRUE(PathExists(folder / second.subfolder / L"norva.exe"));
  // The same registry entries, under the same uninstall key: the upgrade
  // removed the recorded ones before writing its own.
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, test::UninstallKeyBase(), L"InstallLocation"),
            folder.native());
  EXPECT_EQ(test::ReadRegString(HKEY_CURRENT_USER, test::UninstallKeyBase() + L"1",
                                L"InstallLocation"),
            L"<missing>");
}

// A locked file fails an upgrade, the browser in use an uninstallation; each
// with its message, and the installation stays as it was.
// A file held here on purpose fails its step after a short wait, not after
// the ten seconds a file held by another program gets.
struct ShortSharingRetries {
  ShortSharingRetries() { file_helpers::SetSharingRetryBudgetForTesting(300); }
  ~ShortSharingRetries() {
    file_helpers::SetSharingRetryBudgetForTesting(file_helpers::kSharingRetryBudgetMs);
  }
};

TEST_F(InstallerTest, FileInUseFailsUpgradeOrUninstallationAndChangesNothing) {
  ShortSharingRetries short_retries;
  struct Case {
    bool uninstall;
    std::wstring file;  // in the installation folder
    DWORD share;
    int message;
  } cases[] = {
      {false, L"launcher.exe", 0, IDS_COPY_FAILED},
      {true, Utf8ToWide(Version()) + L"\\norva.exe", FILE_SHARE_READ, IDS_BROWSER_IN_USE},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uninstall ? "uninstallation" : "upgrade");
    std::filesystem::path folder = Folder(c.uninstall ? L"busy" : L"locked upgrade");
    ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
    MachineSnapshot before = MachineSnapshot::Take(folder.parent_path());
    HANDLE locked = CreateFileW((folder / c.file).c_str(), GENERIC_READ, c.share, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    RecordingObserver run = env_.Run(folder, {.switches = kPerUser, .uninstall = c.uninstall});
    CloseHandle(locked);
    EXPECT_FALSE(run.succeeded);
    EXPECT_EQ(run.failed_id, c.message);
    EXPECT_EQ(before.DifferencesTo(MachineSnapshot::Take(folder.parent_path())), "");
    test::RemoveProductTraces();
  }
}

TEST_F(InstallerTest, CopyOnlyWritesNoRegistrationNorShortcuts) {
  std::filesystem::path folder = Folder(L"copy only");
  MachineSnapshot before = MachineSnapshot::Take(env_.scratch() / L"elsewhere");
  RecordingObserver run = env_.Run(folder, {{L"--copyonly=1", L"--launchnorva=0"}});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_TRUE(PathExists(folder / Utf8ToWide(Version()) / L"norva.exe"));
  // Neither registry rows nor shortcuts nor the last install path.
  EXPECT_EQ(before.DifferencesTo(MachineSnapshot::Take(env_.scratch() / L"elsewhere")), "");
}

TEST_F(InstallerTest, UninstallationRemovesRegistrationShortcutsAndFiles) {
  std::filesystem::path folder = Folder(L"to remove \u00e9 (x&y)");
  MachineSnapshot before = MachineSnapshot::Take(env_.scratch() / L"elsewhere");
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  RecordingObserver run = env_.Run(folder, {.switches = kPerUser, .uninstall = true});
  ASSERT_TRUE(run.succeeded) << run.failed_message;
  EXPECT_EQ(run.steps, run.total);
  // What nothing holds goes at once, without the clean-up script (which,
  // where it can tell, waits for this process to end).
  EXPECT_FALSE(PathExists(folder / Utf8ToWide(Version())));
  EXPECT_FALSE(PathExists(folder / L"launcher.exe"));
  EXPECT_FALSE(PathExists(folder / L"installation_status.xml"));
  EXPECT_FALSE(PathExists(folder / L"installer_prefs.json"));
  // Only the folder the settings propose next time is remembered.
  EXPECT_EQ(before.DifferencesTo(MachineSnapshot::Take(env_.scratch() / L"elsewhere")),
            "HKCU\\Software\\" + product::CompanyName() + ":\nadded: .\n");
  env_.WaitForCleanUpScripts();
}

// A version whose files are still in use stays listed in "old_status" until
// an upgrade can remove them; an uninstallation removes what it can anyway.
TEST_F(InstallerTest, PreservedLogsWaitForTheirFilesAcrossUpgrades) {
  ShortSharingRetries short_retries;
  std::filesystem::path folder = Folder(L"three upgrades");
  std::filesystem::path first = folder / Utf8ToWide(Version());
  auto preserved = [&] {
    std::error_code ignored;
    std::filesystem::directory_iterator logs(folder / L"old_status", ignored);
    return static_cast<size_t>(std::distance(logs, std::filesystem::directory_iterator()));
  };
  auto files_of_first = [&] {
    std::error_code ignored;
    std::filesystem::recursive_directory_iterator files(first, ignored);
    return std::distance(files, std::filesystem::recursive_directory_iterator());
  };
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  const auto first_files = files_of_first();
  HANDLE locked = CreateFileW((first / L"norva_engine.dll").c_str(), GENERIC_READ,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(locked, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  EXPECT_EQ(preserved(), 2u);  // the first version's log stayed
  // Whole: what its clean-up removed before meeting the held file came back.
  EXPECT_EQ(files_of_first(), first_files);
  CloseHandle(locked);

  ASSERT_TRUE(env_.Run(folder, {kPerUser}).succeeded);
  EXPECT_EQ(preserved(), 1u);  // only the version just replaced
  EXPECT_FALSE(PathExists(first));

  locked = CreateFileW((folder / L"launcher.exe").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                       OPEN_EXISTING, 0, nullptr);
  EXPECT_TRUE(env_.Run(folder, {.switches = kPerUser, .uninstall = true}).succeeded);
  CloseHandle(locked);
  EXPECT_EQ(preserved(), 0u);
}

// The installer of a package unpacked elsewhere proves its success through
// the event it is given; an exit code of 0 alone (a killed process can read
// it back) is a failure.
TEST_F(InstallerTest, PackageInstallerMustProveItsSuccess) {
  const std::filesystem::path package = env_.scratch() / L"waited package";
  std::filesystem::create_directories(package);
  std::filesystem::copy_file(GetExecutablePath().parent_path() / L"test_holder.exe",
                             package / L"installer.exe");
  const struct {
    const wchar_t* package_installer;  // see tests/support/holder_main.cc
    bool succeeded;
  } kCases[] = {
      {L"exit=0", false},
      {L"prove exit=3", false},
      {L"prove exit=0", true},
  };
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.package_installer));
    const std::filesystem::path folder = Folder((L"waited " + std::to_wstring(++number)).c_str());
    HANDLE ready = CreateEventW(nullptr, TRUE, TRUE,
                                GetObjectNameForFolder(kPackageReadyEvent, folder, true).c_str());
    ASSERT_NE(ready, nullptr);
    RunOptions options{kPerUser};
    options.switches.push_back(L"--wait-for-package=" + package.native());
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", c.package_installer);
    RecordingObserver run = env_.Run(folder, options);
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", nullptr);
    CloseHandle(ready);
    EXPECT_EQ(run.succeeded, c.succeeded);
    if (!c.succeeded) {
      EXPECT_EQ(run.failed_message, "Installer process did not complete successfully.");
    }
  }
}

}  // namespace
}  // namespace norva::installer
