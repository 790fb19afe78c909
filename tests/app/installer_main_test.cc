#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/process.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "installer/folder_permission_mode.h"
#include "installer/support/installer_process.h"
#include "package/checksum_checker.h"
#include "product/product_info.h"
#include "support/local_service.h"
#include "support/scratch.h"
#include "support/wait.h"
#include "system/object_names.h"
#include "system/object_security.h"

namespace norva::installer::test {
namespace {

// The log of the run whose command line contained `token`.
std::string FindLogContaining(const std::wstring& token) {
  std::string needle = WideToUtf8(token);
  std::error_code error;
  const std::filesystem::path logs = GetTempFolder() / L"Norva Installer";
  for (const auto& entry : std::filesystem::directory_iterator(logs, error)) {
    if (entry.path().extension() != L".log") continue;
    std::string text = ReadFile(entry.path());
    if (text.find(needle) != std::string::npos) return text;
  }
  return {};
}

// A silent run that ends at once: its install folder is a file, so there is
// nothing to install, and it sends no statistics.
std::wstring SilentRunThatEnds() {
  return L"--silent --enable-installer-stats=0 --installfolder=" +
         QuoteArgument(BuiltInstallerPath().native());
}

std::wstring UniqueToken() {
  static int counter = 0;
  return StringPrintf(L"run%lu_%d_%lu", GetCurrentProcessId(), counter++, GetTickCount());
}

// Help goes to a console of its own, and never waits for one to close.
TEST(InstallerMainTest, VersionSwitchesPrintWithoutNewlineAndHelpNeverHangs) {
  struct Case {
    const wchar_t* arguments;
    const char* expected;
  } cases[] = {
      {L"--version", "37.0.2163.0"}, {L"--internal-version", "2163.0"}, {L"--stream", "developer"},
      {L"--version --help", "37.0.2163.0"}, {L"/STREAM", "developer"}, {L"/?", ""},
      {L"--help", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.arguments));
    ProcessResult run = RunProcess(BuiltInstallerPath(), c.arguments, 30000);
    ASSERT_TRUE(run.started);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(run.output, c.expected);
  }
}

// The download folder given by the switch is removed when the run leaves it
// empty, and kept when it holds something.
TEST(InstallerMainTest, DownloadFolderIsRemovedOnlyWhenEmpty) {
  for (bool with_content : {false, true}) {
    ScratchFolder download;
    if (with_content) WriteFile(download.path() / L"keep.txt", "mine");
    ProcessResult run = RunProcess(BuiltInstallerPath(),
                                   SilentRunThatEnds() + L" --temp-folder=" +
                                       QuoteArgument(download.path().native()));
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 1u);
    if (with_content)
      EXPECT_EQ(ReadFile(download.path() / L"keep.txt"), "mine");
    else
      EXPECT_FALSE(std::filesystem::exists(download.path()));
  }
}

// When uninstalling, the installation's recorded experiments are the only
// source and the switches are ignored; otherwise the switches decide.
TEST(InstallerMainTest, LogsWhereTheRunFoundItself) {
  ScratchFolder package, installation;
  for (const ScratchFolder* folder : {&package, &installation}) {
    ASSERT_TRUE(CopyFile(BuiltInstallerPath(), folder->path() / L"installer.exe"));
    WriteFile(folder->path() / L"norva.exe", "MZ");
  }
  WriteFile(package.path() / L"files_list", "norva.exe\r\n");
  WriteFile(installation.path() / L"installer_prefs.json",
            R"({"installer-experiments": ["installer-experiment-test@1"]})");
  const std::filesystem::path built = BuiltInstallerPath(),
                              installed = installation.path() / L"installer.exe";
  const std::wstring ends = L" " + SilentRunThatEnds();
  const char* experiment = "] Test experiment is enabled";
  const struct {
    std::filesystem::path program;
    std::wstring args;
    const char* line;
    bool logged;
  } kCases[] = {
      {built, L"--uninstall",
       "Requested to uninstall, but we are not in a valid installation folder", true},
      {built, L"--uninstall", "Uninstall: ", false},  // stopped before the role lines
      {package.path() / L"installer.exe",
       ends + L" --temp-folder=" + QuoteArgument((package.path() / L"dl").native()),
       "] Inside package 1", true},
      {installed, L"--uninstall" + ends, experiment, true},
      {installed, L"--uninstall --with-feature:installer-experiment-test=off" + ends, experiment,
       true},
      {built, ends, experiment, false},
      {built, L"--with-feature:installer-experiment-test=on" + ends, experiment, true},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.program.native() + L" " + c.args));
    std::wstring token = UniqueToken();
    ProcessResult run = RunProcess(c.program, c.args + L" --marker=" + token);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 1u);
    std::string log = FindLogContaining(token);
    EXPECT_EQ(log.find(c.line) != std::string::npos, c.logged) << log;
  }
}

// A download whose reply names partner files installs the whole package and,
// beside it, the partner file that could be had.
TEST(InstallerMainTest, PartnerFilesAreInstalledWithTheWholePackage) {
  const char* fixtures = std::getenv("NORVA_E2E_FIXTURES");
  ASSERT_TRUE(fixtures) << "run through ctest: the packages are missing";
  LocalService service;
  ASSERT_TRUE(service.available()) << "the local autoupdate service is not running";
  ASSERT_TRUE(service.Reset());
  service.PutFile("package.exe", ReadFile(FromUnixPath(fixtures) / L"package.exe"));
  ScratchFolder scratch;
  auto partner = [&](const std::string& name, bool good_checksum) {
    std::filesystem::path local = scratch.path() / Utf8ToWide(name);
    WriteFile(local, "{\"partner\": \"" + name + "\"}");
    service.PutFile(name, ReadFile(local));
    std::string checksum = ChecksumChecker::ComputeSha256(local);
    if (!good_checksum) checksum[0] = checksum[0] == '0' ? '1' : '0';
    return nlohmann::json{{"href", WideToUtf8(service.Url("/" + name))},
                          {"filename", name},
                          {"checksum", checksum}};
  };
  nlohmann::json partners = {partner("good_partner.json", true),
                             partner("bad_partner.json", false)};
  ASSERT_TRUE(service.SetReply({{"stream", product::InternalStreamName()},
                                {"installer_file", "package.exe"},
                                {"extra", {{"partner_content", partners}}}}));
  RemoveProductTraces();
  std::filesystem::path folder = scratch.path() / L"Norva";
  std::filesystem::create_directories(scratch.path() / L"downloads");
  std::wstring token = UniqueToken();
  // Not through a pipe: the services the installation starts (the task
  // scheduler's) would keep its write end open.
  Process installer = LaunchProcess(
      QuoteArgument(BuiltInstallerPath().native()) +
      L" --silent --allusers=0 --launchnorva=0 --enable-installer-stats=0 --installfolder=" +
      QuoteArgument(folder.native()) +
      L" --temp-folder=" + QuoteArgument((scratch.path() / L"downloads").native()) +
      L" --internal-package-server=" +
      service.Url("/netinstaller/" + product::InternalStreamName()) + L" --marker=" + token);
  ASSERT_TRUE(installer.IsValid());
  DWORD exit_code = 99;
  if (!installer.WaitForExit(180000, &exit_code)) installer.Terminate(99);
  EXPECT_EQ(exit_code, 0u) << FindLogContaining(token);
  std::filesystem::path installed = folder / Utf8ToWide(product::ProductVersion());
  size_t package_files = 0;
  for (std::string entry : SplitString(ReadFile(BuiltPackageFolder() / L"files_list"), '\n')) {
    if (!entry.empty() && entry.back() == '\r') entry.pop_back();
    if (entry.empty()) continue;
    EXPECT_TRUE(PathExists(installed / Utf8ToWide(entry))) << entry;
    ++package_files;
  }
  EXPECT_GT(package_files, 1u);
  EXPECT_TRUE(PathExists(installed / L"norva.exe"));
  EXPECT_EQ(ReadFile(installed / L"good_partner.json"),
            ReadFile(scratch.path() / L"good_partner.json"));
  EXPECT_FALSE(PathExists(installed / L"bad_partner.json"));
  RemoveProductTraces();
}

// True once `file` exists (a script started, not waited for, writes it).
bool AppearsWithinTenSeconds(const std::filesystem::path& file) {
  return WaitUntil(
      [&] { return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; },
      std::chrono::seconds(10));
}

// Waits until the shell running the uninstall script in `folder` has let go
// of it (Wine's cmd.exe keeps a batch file open until it ends), so that the
// folder can go; the script is deleted on the way.
bool ScriptShellEnds(const std::filesystem::path& folder) {
  const std::filesystem::path script = folder / L"k.bat";
  return WaitUntil([&] {
    return DeleteFileW(script.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND;
  });
}

// Folders made by the tests give their own user write access already; this
// trustee (by name for the role, by SID for the checks) only reads until the
// role grants it more.
constexpr wchar_t kTrustee[] = L"Everyone";

// True when the folder's access list has an allowing entry for the trustee
// with write access, inherited by files and sub-folders. (Wine keeps file
// access lists as Unix mode bits, so "full access" comes back as read, write,
// execute and delete; write access is what both systems show.)
bool GrantsWriteAccess(const std::filesystem::path& folder) {
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  const std::vector<uint8_t> trustee = ParseSidString(L"S-1-1-0");
  constexpr BYTE kInherits = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  bool found = false;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACCESS_ALLOWED_ACE* ace = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) ||
        ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE)
      continue;
    const bool writes = (ace->Mask & FILE_GENERIC_WRITE) == FILE_GENERIC_WRITE ||
                        (ace->Mask & (GENERIC_ALL | GENERIC_WRITE));
    found |= writes && (ace->Header.AceFlags & kInherits) == kInherits &&
             EqualSid(&ace->SidStart, const_cast<uint8_t*>(trustee.data()));
  }
  LocalFree(descriptor);
  return found;
}

// The event of kind `name` for `folder`, made or opened.
ScopedHandle FolderEvent(const wchar_t* name, const std::filesystem::path& folder, bool global,
                         bool signalled = false) {
  return ScopedHandle(CreateEventW(nullptr, TRUE, signalled,
                                   GetObjectNameForFolder(name, folder, global).c_str()));
}

// The two local events through which a requester and the folder-permission
// role talk about `folder`.
struct PermissionEvents {
  explicit PermissionEvents(const std::filesystem::path& folder)
      : given(FolderEvent(kGivePermissionEvent, folder, false)),
        undo(FolderEvent(kGivePermissionUndoEvent, folder, false)) {}
  ScopedHandle given, undo;
};

// The role's switches for `folder` and `user`.
std::wstring RoleSwitches(const std::filesystem::path& folder,
                         const std::wstring& user = kTrustee) {
  return L"--set-folder-permission=" + QuoteArgument(folder.native()) +
         L" --permissions-for-user=" + QuoteArgument(user);
}

// Makes `package` a package folder with a copy of the installer; the switches
// that make the role wait for it.
std::wstring WaitForPackageIn(const std::filesystem::path& package) {
  std::filesystem::create_directories(package);
  EXPECT_TRUE(CopyFile(BuiltInstallerPath(), package / L"installer.exe"));
  return L" --wait-for-package=" + QuoteArgument(package.native()) +
         StringPrintf(L" --initial-pid=%lu", GetCurrentProcessId());
}

// The role grants the user full access, making the folder, and signals; without
// the requester's events to signal it does nothing.
TEST(FolderPermissionModeTest, GrantsTheUserFullAccessAndSignalsOnlyWhenRequested) {
  for (bool requested : {true, false}) {
    SCOPED_TRACE(requested);
    ScratchFolder scratch;
    std::filesystem::path folder = scratch.path() / L"Norva" / L"Application";
    std::optional<PermissionEvents> events;
    if (requested) events.emplace(folder);
    ProcessResult run =
        RunProcess(BuiltInstallerPath(), RoleSwitches(folder) + L" --permanent-permissions");
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exit_code, 0u);
    EXPECT_EQ(std::filesystem::is_directory(folder), requested);
    if (!requested) continue;
    EXPECT_EQ(WaitForSingleObject(events->given.get(), 0), WAIT_OBJECT_0);
    EXPECT_TRUE(GrantsWriteAccess(folder));
  }
}

// A requester that ends without signalling the Undo event (it crashed) must
// not leave the role waiting, and the folder open to the user, for good. When
// the role waits for the package, the package's installer it starts grants
// the access; it and the role must end too.
TEST(FolderPermissionModeTest, RequesterThatEndsWithoutUndoGetsTheAccessTakenBack) {
  wchar_t requested[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"NORVA_PERMISSION_REQUESTER", requested, MAX_PATH)) {
    // The requester: starts the role, reports its id, waits for the grant
    // and ends.
    wchar_t arguments[4096] = {};
    GetEnvironmentVariableW(L"NORVA_PERMISSION_ROLE_ARGUMENTS", arguments, 4096);
    const std::filesystem::path folder = requested;
    PermissionEvents events(folder);
    Process process = LaunchProcess(QuoteArgument(BuiltInstallerPath().native()) + L" " +
                                    RoleSwitches(folder) + arguments);
    ASSERT_TRUE(process.IsValid());
    WriteFile(folder.parent_path() / L"role", std::to_string(process.id()));
    ASSERT_EQ(WaitForSingleObject(events.given.get(), 30000), WAIT_OBJECT_0);
    return;
  }
  struct Case {
    const char* name;
    bool wait_for_package;
    bool interrupted;  // the role starts the package's installer at once
  } cases[] = {
      {"granting", false, false},
      {"package installer granting", true, true},
      {"waiting for the package", true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ScratchFolder scratch;
    const std::filesystem::path folder = scratch.path() / L"Norva";
    std::filesystem::create_directories(folder);
    PermissionEvents events(folder);  // outlive the requester, as the role's handles do
    ASSERT_FALSE(GrantsWriteAccess(folder));
    // The role asks these whether the package is ready or the run interrupted.
    const ScopedHandle ready = FolderEvent(kPackageReadyEvent, folder, true),
                       interrupted =
                           FolderEvent(kInstallationInterruptedEvent, folder, true, c.interrupted);
    std::wstring arguments =
        c.wait_for_package ? WaitForPackageIn(scratch.path() / L"package") : L"";
    SetEnvironmentVariableW(L"NORVA_PERMISSION_REQUESTER", folder.c_str());
    SetEnvironmentVariableW(L"NORVA_PERMISSION_ROLE_ARGUMENTS", arguments.c_str());
    // Without output pipes: the role would inherit them and keep them open.
    Process requester = LaunchProcess(
        QuoteArgument(GetExecutablePath().native()) +
        L" --gtest_filter=FolderPermissionModeTest.RequesterThatEndsWithoutUndoGetsTheAccessTakenBack");
    SetEnvironmentVariableW(L"NORVA_PERMISSION_REQUESTER", nullptr);
    SetEnvironmentVariableW(L"NORVA_PERMISSION_ROLE_ARGUMENTS", nullptr);
    int role_id = 0;
    WaitUntil([&] { return StringToInt(ReadFile(scratch.path() / L"role"), &role_id); });
    ASSERT_NE(role_id, 0);
    if (c.wait_for_package && !c.interrupted) {
      requester.Terminate(1);  // it crashes while the role waits for the package
    } else {
      DWORD exit_code = 1;
      ASSERT_TRUE(requester.WaitForExit(60000, &exit_code));
      ASSERT_EQ(exit_code, 0u);
    }
    EXPECT_EQ(WaitForSingleObject(events.given.get(), 0), c.interrupted || !c.wait_for_package
                                                         ? WAIT_OBJECT_0
                                                         : WAIT_TIMEOUT);
    Process role(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE | PROCESS_QUERY_INFORMATION, FALSE,
                             static_cast<DWORD>(role_id)),
                 static_cast<DWORD>(role_id));
    if (role.IsValid() && !role.WaitForExit(30000)) {
      role.Terminate(1);
      ADD_FAILURE() << "the role still waits for its ended requester";
    }
    // The package's installer takes the access back as it ends, after the role.
    WaitUntil([&] { return !GrantsWriteAccess(folder); }, std::chrono::seconds(10));
    EXPECT_FALSE(GrantsWriteAccess(folder));
  }
}

// A script that waits, a minute at most, until `release` exists.
std::string WaitingScript(const std::filesystem::path& release, const std::string& first = "") {
  return "@echo off\r\n" + first + "set n=0\r\n:wait\r\nset /a n+=1\r\nif %n% gtr 60 exit /b\r\n" +
         "if not exist \"" + WideToUtf8(release.native()) +
         "\" (ping -n 2 127.0.0.1 >nul & goto wait)\r\n";
}

// An uninstallation's clean-up script is a file the requester wrote: the
// role never starts it, and keeps the folder granted until the script the
// requester started (here this test) has ended.
TEST(FolderPermissionModeTest, KeepsAnUninstallationsGrantUntilItsScriptEnds) {
  ScratchFolder installation;
  const std::filesystem::path folder = installation.path();
  // The role's installation folder is its program's parent: it holds the
  // launcher and the script.
  std::filesystem::path version_folder = folder / L"37.0.2163.0";
  std::filesystem::create_directories(version_folder);
  ASSERT_TRUE(CopyFile(BuiltInstallerPath(), version_folder / L"installer.exe"));
  WriteFile(folder / L"launcher.exe", "MZ");
  const std::filesystem::path runs = folder / L"runs", release = folder / L"release";
  WriteFile(folder / L"k.bat",
            WaitingScript(release, "echo ran>> \"" + WideToUtf8(runs.native()) + "\"\r\n"));
  // A script of an earlier run, started before the role, holds nothing up.
  ScratchFolder earlier;
  const std::filesystem::path earlier_release = earlier.path() / L"release";
  WriteFile(earlier.path() / L"k.bat", WaitingScript(earlier_release));
  RunUninstallBatchFile(earlier.path());
  // However the test ends, the scripts end (and let go of its output).
  struct ReleaseAtEnd {
    std::vector<std::filesystem::path> files;
    ~ReleaseAtEnd() {
      for (const auto& file : files) WriteFile(file, "");
      WaitUntil([] { return ChildProcesses(GetCurrentProcessId(), L"cmd.exe").empty(); },
                std::chrono::seconds(30));
    }
  } release_at_end{{release, earlier_release}};
  PermissionEvents events(folder);
  ASSERT_TRUE(events.given && events.undo);
  Process role = LaunchProcess(QuoteArgument((version_folder / L"installer.exe").native()) + L" " +
                               RoleSwitches(folder) + L" --run-uninstall-bat");
  ASSERT_TRUE(role.IsValid());
  ASSERT_EQ(WaitForSingleObject(events.given.get(), 30000), WAIT_OBJECT_0);
  RunUninstallBatchFile(folder);  // as the uninstallation does
  ASSERT_TRUE(AppearsWithinTenSeconds(runs));
  SetEvent(events.undo.get());
  // Past the role's 10-second grace the script still runs: so does the grant.
  EXPECT_FALSE(role.WaitForExit(12000));
  EXPECT_TRUE(GrantsWriteAccess(folder));
  WriteFile(release, "");
  DWORD exit_code = 1;
  ASSERT_TRUE(role.WaitForExit(30000, &exit_code));
  EXPECT_EQ(exit_code, 0u);
  EXPECT_FALSE(GrantsWriteAccess(folder));
  EXPECT_EQ(ReadFile(runs), "ran\r\n");  // once: the role started no copy
}

TEST(FolderPermissionModeTest, InterruptedWaitStartsThePackageInstallerWithTheSwitches) {
  ScratchFolder scratch;
  std::filesystem::path folder = scratch.path() / L"target";
  ScopedHandle ready = FolderEvent(kPackageReadyEvent, folder, true);
  ScopedHandle interrupted = FolderEvent(kInstallationInterruptedEvent, folder, true);
  // The package's installer, started with the permission switches, grants
  // access and signals these: proof that it ran with them.
  PermissionEvents events(folder);
  ASSERT_TRUE(ready && interrupted && events.given && events.undo);
  std::wstring arguments = RoleSwitches(folder) + L" --permanent-permissions" +
                           WaitForPackageIn(scratch.path() / L"package");

  SetEvent(ready.get());
  ProcessResult run = RunProcess(BuiltInstallerPath(), arguments);
  ASSERT_TRUE(run.finished);
  // The package was ready: nothing started.
  EXPECT_EQ(WaitForSingleObject(events.given.get(), 0), WAIT_TIMEOUT);

  ResetEvent(ready.get());
  SetEvent(interrupted.get());
  run = RunProcess(BuiltInstallerPath(), arguments);
  ASSERT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u);
  EXPECT_EQ(WaitForSingleObject(events.given.get(), 0), WAIT_OBJECT_0);
  EXPECT_TRUE(GrantsWriteAccess(folder));
}

// cmd.exe takes "&", "(", "^" and "%" as syntax; none of them in a folder
// name may keep the script from running.
TEST(UninstallBatchFileTest, RunsInFoldersWithShellCharacters) {
  ScratchFolder scratch;
  for (const wchar_t* name : {L"a & b", L"x (86) ^y @z", L"100% %path%", L"%x%"}) {
    SCOPED_TRACE(WideToUtf8(name));
    std::filesystem::path folder = scratch.path() / name;
    const std::filesystem::path marker = folder / L"marker";
    std::string target;  // a "%" is doubled inside a batch file
    for (char c : WideToUtf8(marker.native())) target += c == '%' ? "%%" : std::string(1, c);
    WriteFile(folder / L"k.bat", "@echo off\r\necho done> \"" + target + "\"\r\n");
    RunUninstallBatchFile(folder);
    EXPECT_TRUE(AppearsWithinTenSeconds(marker));
    EXPECT_TRUE(ScriptShellEnds(folder));
  }
}

}  // namespace
}  // namespace norva::installer::test
