// Hand-overs of the installer to other processes: its elevated copy, the
// elevated helper that grants folder rights, and the installer of a package
// that another process unpacks. The children are real processes: this
// build's installer, or the test holder standing in for it.
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "base/scoped_handle.h"
#include "base/strings.h"
#include "base/task_runner.h"
#include "engine/engine_test_support.h"
#include "system/access_rights.h"
#include "support/local_service.h"
#include "support/object_acl.h"
#include "system/admin_only.h"
#include "system/object_names.h"

namespace norva::installer {
namespace {

using test::RecordingObserver;

constexpr wchar_t kContent[] = L"custom_partner_content.json";

// Answers of SetAdminMembershipForTesting.
constexpr AdminMembership kNotAdmin = AdminMembership::kNotMember;
constexpr AdminMembership kAdmin = AdminMembership::kMember;
constexpr AdminMembership kLinkedAdmin = AdminMembership::kLinkedMember;

const std::vector<std::string> kHandedOver = {"child-starting", "child-finished", "succeeded"};
const std::vector<std::string> kChildFailed = {"child-starting", "child-finished", "failed",
                                               "terminated"};
const std::vector<std::string> kFailed = {"failed", "terminated"};

std::vector<std::string> Lines(const std::filesystem::path& file) {
  std::vector<std::string> lines;
  if (!PathExists(file)) return lines;
  for (std::string line : SplitString(test::ReadFile(file), '\n')) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
  }
  return lines;
}

std::filesystem::path g_users_folder;

// The security the checks see: `g_users_folder` is a standard user's, every
// other path the administrators' own.
std::wstring UsersFolderSecurity(const std::wstring& path) {
  return !g_users_folder.empty() && _wcsicmp(path.c_str(), g_users_folder.c_str()) == 0
             ? L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
             : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

bool Has(const std::string& line, const std::string& text) {
  return line.find(text) != std::string::npos;
}

// UAC switched on or off by policy while it lives; the previous value comes
// back.
class ScopedUac {
 public:
  explicit ScopedUac(bool on) {
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPolicies, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                    &key_, nullptr);
    DWORD size = sizeof(previous_);
    had_value_ = RegQueryValueExW(key_, L"EnableLUA", nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(&previous_), &size) == ERROR_SUCCESS;
    DWORD value = on ? 1 : 0;
    RegSetValueExW(key_, L"EnableLUA", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof(value));
  }
  ~ScopedUac() {
    if (had_value_)
      RegSetValueExW(key_, L"EnableLUA", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&previous_),
                     sizeof(previous_));
    else
      RegDeleteValueW(key_, L"EnableLUA");
    RegCloseKey(key_);
  }

 private:
  static constexpr wchar_t kPolicies[] =
      L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System";
  HKEY key_ = nullptr;
  DWORD previous_ = 1;
  bool had_value_ = false;
};

std::string DaclOf(const std::filesystem::path& folder) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
    return "unreadable";
  wchar_t* text = nullptr;
  std::string result = "unconvertible";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text,
                                                           nullptr)) {
    result = WideToUtf8(text);
    LocalFree(text);
  }
  LocalFree(descriptor);
  return result;
}

class ElevationTest : public testing::Test {
 protected:
  ~ElevationTest() override {
    SetAdminMembershipForTesting(std::nullopt);
    SetAccessDeniedForTesting(L"");
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", nullptr);
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", nullptr);
  }

  std::filesystem::path Folder(const std::wstring& name) {
    return env_.scratch() / L"installs (x&y) %TEMP% ^!" / (name + L" \u00e9t\u00e9");
  }

  // `folder` does not exist and this user may not create it: its parent
  // denies it (a folder of another user, or the machine's).
  void DenyCreating(const std::filesystem::path& folder) {
    std::filesystem::create_directories(folder.parent_path());
    SetAccessDeniedForTesting(folder.parent_path().native());
  }

  // The test holder as the program a hand-over starts: it appends its
  // command line to Started() and does what `behaviour` says (see
  // tests/support/holder_main.cc).
  std::filesystem::path Holder(const wchar_t* behaviour) {
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND", behaviour);
    SetEnvironmentVariableW(L"NORVA_FAKE_BACKEND_LOG", Started().c_str());
    return GetExecutablePath().parent_path() / L"test_holder_gui.exe";
  }
  std::filesystem::path Started() const { return env_.scratch() / L"started.txt"; }

  // This build's installer in the package folder, where its elevated copy
  // finds the package.
  std::filesystem::path PackageInstaller() {
    std::filesystem::path installer = env_.package() / L"installer.exe";
    std::filesystem::copy_file(GetExecutablePath().parent_path() / L"installer.exe", installer,
                               std::filesystem::copy_options::overwrite_existing);
    return installer;
  }

  // Per user, asking for the browser at the end; the backends this test
  // starts watch this process.
  std::vector<std::wstring> Switches(std::vector<std::wstring> more = {}) {
    std::vector<std::wstring> switches = {
        L"--allusers=0", L"--launchnorva=1",
        L"--initial-pid=" + std::to_wstring(GetCurrentProcessId())};
    switches.insert(switches.end(), more.begin(), more.end());
    return switches;
  }

  test::EngineEnvironment env_;
  // As Windows has it by default (Wine's prefix has it off).
  ScopedUac uac_{true};
};

// The elevated copy, and the package's installer it hands over to, never
// start the browser; the post-elevation tasks of this user start it once and
// keep the partner content the elevated installation put into the profile.
TEST_F(ElevationTest, ElevatedInstallationStartsTheBrowserOnceAndKeepsThePartnerFiles) {
  const std::filesystem::path installer = PackageInstaller();
  test::WriteFile(env_.package() / L"resources" / kContent, "package");
  test::WriteFile(env_.package() / L"files_list",
                  test::ReadFile(env_.package() / L"files_list") + "resources\\" +
                      WideToUtf8(kContent) + "\r\n");
  for (bool wait_for_package : {false, true}) {
    SCOPED_TRACE(wait_for_package ? "after waiting for the package" : "direct");
    const std::filesystem::path folder = Folder(wait_for_package ? L"waited" : L"direct");
    const std::filesystem::path profile = env_.scratch() / L"profiles" / folder.filename();
    test::WriteFile(profile / L"Local State", "{}");
    DenyCreating(folder);
    SetAdminMembershipForTesting(kLinkedAdmin);
    std::vector<std::wstring> switches = Switches({L"--profile-folder=" + profile.native()});
    HANDLE ready = nullptr;
    if (wait_for_package) {
      ready = CreateEventW(nullptr, TRUE, TRUE,
                           GetObjectNameForFolder(kPackageReadyEvent, folder, true).c_str());
      switches.push_back(L"--wait-for-package=" + env_.package().native());
    }
    RecordingObserver run = env_.Run(folder, {.switches = switches, .self_executable = installer});
    if (ready) CloseHandle(ready);
    ASSERT_TRUE(run.succeeded) << run.failed_message;

    std::vector<std::string> launches = Lines(folder / L"standin_runs.txt");
    ASSERT_EQ(launches.size(), 1u);
    EXPECT_TRUE(launches[0].starts_with("launcher.exe ")) << launches[0];
    ASSERT_TRUE(PathExists(profile / kContent));
    EXPECT_EQ(test::ReadFile(profile / kContent), "package");
    EXPECT_TRUE(Has(test::ReadFile(profile / L"Local State"), "\"updated\":true"));
  }
}

// The prompt belongs to the frontend's window while it exists; anything else
// on the command line gives the prompt no owner.
TEST(PromptOwnerTest, OnlyAnExistingWindowOwnsThePrompt) {
  HWND window = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  HWND gone = CreateWindowW(L"STATIC", L"", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
  ASSERT_TRUE(window && gone);
  DestroyWindow(gone);
  auto number = [](HWND handle) { return std::to_wstring(reinterpret_cast<uintptr_t>(handle)); };
  const struct {
    std::wstring value;
    HWND owner;
  } kCases[] = {
      {number(window), window}, {number(gone), nullptr},     {L"", nullptr},
      {L"0", nullptr},          {L"-" + number(window), nullptr}, {number(window) + L"x", nullptr},
      {L"99999999999999999999999", nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(WideToUtf8(c.value));
    CommandLine command_line(FilePath(L"installer.exe"));
    command_line.AppendSwitchValue(kOwnerWindowSwitch, c.value);
    EXPECT_EQ(PromptOwnerWindow(command_line), c.owner);
  }
  EXPECT_EQ(PromptOwnerWindow(CommandLine(FilePath(L"installer.exe"))), nullptr);
  DestroyWindow(window);
}

// Runs that hand over to the elevated copy or to the permission helper, or
// stop before either: each ends as the child ends, with its message, and
// starts only what it names.
TEST_F(ElevationTest, HandOversAndTheirFailures) {
  enum Setup { kCannotCreate, kCannotWrite, kUacOff, kEventNameTaken };
  const std::wstring no_package =
      L"--wait-for-package=" + (env_.scratch() / L"no package").native();
  constexpr char kElevatedCopy[] = "--success-event=Local\\NorvaInstaller/ChildSucceeded/";
  const struct {
    const char* name;
    Setup setup;
    AdminMembership membership;
    std::vector<std::wstring> switches;  // beyond Switches()
    const wchar_t* child;  // null: a program that is not there; empty: no path at all
    std::vector<std::string> events;  // empty: only the outcome is checked
    int failed_id;
    const char* failure;  // empty: the installation succeeds
    const char* started;  // on the command line of the one program started; null: none
  } kCases[] = {
      {"proven success", kCannotCreate, kLinkedAdmin, {}, L"acl prove exit=0", kHandedOver, 0, "",
       kElevatedCopy},
      {"exit code 0 without proof", kCannotCreate, kLinkedAdmin, {}, L"acl exit=0", kChildFailed,
       37050, "Installer process did not complete successfully.", kElevatedCopy},
      {"exit code 2", kCannotCreate, kLinkedAdmin, {}, L"acl prove exit=2", kChildFailed, 37050,
       "Installer process did not complete successfully.", kElevatedCopy},
      {"not started", kCannotCreate, kLinkedAdmin, {}, nullptr, kChildFailed, 37056,
       "Elevated installation failed.", nullptr},
      {"no path of its own", kCannotCreate, kLinkedAdmin, {}, L"", kFailed, 37050,
       "Error when setting up the installer process", nullptr},
      {"no package to wait for afterwards", kCannotCreate, kLinkedAdmin, {no_package},
       L"acl prove exit=0", kChildFailed, 37050,
       "Failed to open a handle to the package ready event", kElevatedCopy},
      {"UAC off, installation for all users", kUacOff, kNotAdmin, {L"--allusers=1"},
       L"prove exit=0", kFailed, 37056, "Elevated installation failed.", nullptr},
      {"UAC off, folder this user may not create", kUacOff, kNotAdmin, {L"--allusers=0"},
       L"prove exit=0", kFailed, 37056,
       "Failed to elevate the process to give us write permissions to installation folder",
       nullptr},
      {"silent installation for all users", kCannotCreate, kNotAdmin,
       {L"--launchnorva=0", L"--allusers=1"}, L"prove exit=0", {}, 37050,
       "Installation requires elevation, but cannot elevate when silent", nullptr},
      {"single profile", kCannotCreate, kLinkedAdmin, {L"--launchnorva=0", L"--singleprofile=1"},
       L"prove exit=0", {}, 37055,
       "Single profile installations are only allowed to locations where the user has write "
       "access",
       nullptr},
      {"administrator who cannot widen the rights", kCannotCreate, kAdmin,
       {L"--launchnorva=0", L"--allusers=0"}, L"prove exit=0", {}, 37055,
       "Could not obtain write permissions to installation folder", nullptr},
      {"user who widens the rights", kCannotWrite, kNotAdmin, {L"--launchnorva=0", L"--allusers=0"},
       L"prove exit=0", {}, 0, "", nullptr},
      {"helper ends without granting", kCannotCreate, kNotAdmin, {L"--launchnorva=0"}, L"exit=0",
       kFailed, 37050,
       "The process for giving us write permission to the installer folder didn't complete "
       "successfully",
       "--set-folder-permission="},
      {"helper's events cannot be made", kEventNameTaken, kNotAdmin, {L"--launchnorva=0"},
       L"exit=0", kFailed, 37050,
       "Error when setting up the process to give us write permissions to installation folder",
       nullptr},
  };
  std::set<std::string> success_events;
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder = Folder(L"run " + std::to_wstring(++number));
    std::optional<ScopedUac> uac_off;
    if (c.setup == kUacOff) uac_off.emplace(false);
    ScopedHandle taken;
    if (c.setup == kEventNameTaken) {
      taken.reset(CreateMutexW(
          nullptr, FALSE, GetObjectNameForFolder(kGivePermissionEvent, folder, false).c_str()));
    }
    if (c.setup == kCannotWrite) {
      std::filesystem::create_directories(folder);
      SetAccessDeniedForTesting(folder.native());
    } else {
      DenyCreating(folder);
    }
    SetAdminMembershipForTesting(c.membership);
    std::filesystem::path program = !c.child ? env_.scratch() / L"missing" / L"installer.exe"
                                    : *c.child ? Holder(c.child)
                                               : std::filesystem::path();
    RecordingObserver run = env_.Run(folder, {.switches = Switches(c.switches),
                                              .self_executable = program,
                                              .silent = c.setup != kUacOff});
    if (!c.events.empty()) {
      EXPECT_EQ(run.events, c.events);
    }
    EXPECT_EQ(run.succeeded, *c.failure == '\0') << run.failed_message;
    EXPECT_EQ(run.failed_id, c.failed_id);
    EXPECT_EQ(run.failed_message, c.failure);
    SetAccessDeniedForTesting(L"");
    test::RemoveProductTraces();

    std::vector<std::string> started = Lines(Started());
    std::filesystem::remove(Started());
    const bool elevated = c.started == kElevatedCopy;
    ASSERT_EQ(started.size(), !c.started ? 0u : elevated ? 2u : 1u);
    if (!c.started) continue;
    const size_t at = started[0].find(c.started);
    ASSERT_NE(at, std::string::npos) << started[0];
    if (!elevated) continue;
    EXPECT_TRUE(Has(started[0], "--backend")) << started[0];
    EXPECT_TRUE(Has(started[0], "--launchnorva=0")) << started[0];
    EXPECT_TRUE(Has(started[0], "--parent-pid=" + std::to_string(GetCurrentProcessId())))
        << started[0];
    EXPECT_EQ(Has(started[0], "--wait-for-package="), c.switches == std::vector{no_package})
        << started[0];
    // Only the elevated copy may prove its success: the event it signals has
    // a new name nobody can guess, and grants the user and Administrators
    // only.
    EXPECT_EQ(started[1], "acl " + test::SharedObjectAcl(EVENT_ALL_ACCESS, EVENT_ALL_ACCESS,
                                                         EVENT_ALL_ACCESS));
    std::string name = started[0].substr(at + std::strlen(kElevatedCopy));
    name = name.substr(0, name.find_first_of(" \""));
    // 128 bits from the system's generator.
    EXPECT_EQ(name.size(), 32u) << name;
    EXPECT_EQ(name.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
    EXPECT_TRUE(success_events.insert(name).second) << name;
  }
}

// Reports what the folder's rights are once the installation has started,
// which is after the helper granted them.
class GrantObserver : public RecordingObserver {
 public:
  explicit GrantObserver(std::filesystem::path folder) : folder_(std::move(folder)) {}
  void OnInstallationStarted() override {
    RecordingObserver::OnInstallationStarted();
    dacl_while_running = DaclOf(folder_);
    helpers = test::ChildProcesses(GetCurrentProcessId(), L"installer.exe");
    for (const wchar_t* name : {kGivePermissionEvent, kGivePermissionUndoEvent}) {
      HANDLE event = OpenEventW(READ_CONTROL, FALSE,
                                GetObjectNameForFolder(name, folder_, false).c_str());
      event_acls.push_back(event ? test::KernelObjectAcl(event) : "none");
      if (event) CloseHandle(event);
    }
  }

  std::string dacl_while_running;
  std::vector<DWORD> helpers;
  // Of the events the helper shares, which may run as another account.
  std::vector<std::string> event_acls;

 private:
  std::filesystem::path folder_;
};

// The elevated helper grants this user the folder for the run; the reset
// tells it to put the folder's list back as it was, and it ends. A run that
// waited for its download hands over to the package's installer within the
// same rights.
TEST_F(ElevationTest, PermissionHelperGrantsForTheRunOnly) {
  for (bool download : {false, true}) {
    SCOPED_TRACE(download ? "download run" : "offline run");
    const std::filesystem::path folder = Folder(download ? L"granted for download" : L"granted");
    DenyCreating(folder);
    SetAdminMembershipForTesting(kNotAdmin);
    GrantObserver observer(folder);
    std::vector<std::wstring> switches = {L"--launchnorva=0"};
    ScopedHandle ready;
    if (download) {
      switches.push_back(L"--wait-for-package=" + env_.package().native());
      ready.reset(CreateEventW(nullptr, TRUE, TRUE,
                               GetObjectNameForFolder(kPackageReadyEvent, folder, true).c_str()));
    }
    RecordingObserver run = env_.Run(folder, {.switches = Switches(switches),
                                              .observer = &observer,
                                              .self_executable = PackageInstaller()});
    ASSERT_TRUE(run.succeeded) << run.failed_message;
    EXPECT_TRUE(PathExists(folder / L"installation_status.xml"));
    ASSERT_EQ(observer.helpers.size(), 1u);

    HANDLE helper = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE,
                                observer.helpers[0]);
    ASSERT_NE(helper, nullptr);
    // The helper waits ten seconds after the undo event before it restores.
    EXPECT_EQ(WaitForSingleObject(helper, 60000), WAIT_OBJECT_0);
    DWORD exit_code = 1;
    GetExitCodeProcess(helper, &exit_code);
    CloseHandle(helper);
    EXPECT_EQ(exit_code, 0u);

    // While the run went on this user had full access, inherited by what it
    // made; afterwards the folder has the list it was created with, which is
    // what a new folder beside it inherits.
    EXPECT_TRUE(Has(observer.dacl_while_running, "(A;OICI;FA;;;" + test::TokenUserSid() + ")"))
        << observer.dacl_while_running;
    const std::string shared =
        test::SharedObjectAcl(EVENT_ALL_ACCESS, EVENT_ALL_ACCESS, EVENT_ALL_ACCESS);
    EXPECT_EQ(observer.event_acls, (std::vector<std::string>{shared, shared}));
    const std::filesystem::path sibling = folder.parent_path() / L"sibling";
    std::filesystem::create_directories(sibling);
    EXPECT_EQ(DaclOf(folder), DaclOf(sibling));
  }
}

// Signals the package-ready event after the installation has started to
// wait for it, as the frontend does when its download ends.
class PackageArrives : public RecordingObserver {
 public:
  explicit PackageArrives(HANDLE ready) : ready_(ready) {}
  void OnInstallationStarted() override {
    RecordingObserver::OnInstallationStarted();
    // From here on the package folder counts as a standard user's.
    if (!g_users_folder.empty()) SetFileSecurityForTesting(UsersFolderSecurity);
    HANDLE ready = ready_;
    ThreadTaskRunnerHandle::Get()->PostTask(Location{"PackageArrives", 0},
                                            [ready] { SetEvent(ready); });
  }

 private:
  HANDLE ready_;
};

TEST_F(ElevationTest, PackageWaitHandsOverToThePackageInstaller) {
  const std::filesystem::path package = env_.scratch() / L"waited package (1) & more";
  const struct {
    const char* name;
    bool event_exists;
    bool installer_exists;
    bool after_elevation;
    std::vector<std::string> events;
    const char* failure;
    // Shown as a standard user's folder, beside the package it came from.
    const wchar_t* users_signed_package = nullptr;
  } kCases[] = {
      {"package arrives later", true, true, false,
       {"started", "child-starting", "child-finished", "succeeded"}, ""},
      {"no package-ready event", false, true, false, {"started", "failed", "terminated"},
       "Failed to open a handle to the package ready event"},
      {"no installer in the package", true, false, false,
       {"started", "child-starting", "child-finished", "failed", "terminated"},
       "Failed to start installer process from the package folder."},
      {"a user's package that fails its checks", true, true, false,
       {"started", "failed", "terminated"}, "The package could not be verified",
       L"other_stream_package.exe"},
      {"after an elevated installation", true, true, true,
       {"child-starting", "child-finished", "child-starting", "child-finished", "succeeded"}, ""},
  };
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(package);
    std::filesystem::create_directories(package);
    std::filesystem::path holder = Holder(L"prove exit=0");
    if (c.installer_exists) std::filesystem::copy_file(holder, package / L"installer.exe");
    std::filesystem::remove(package.native() + L".exe");
    g_users_folder.clear();
    if (c.users_signed_package) {
      const char* fixtures = std::getenv("NORVA_E2E_FIXTURES");
      ASSERT_TRUE(fixtures) << "run through ctest: the packages are missing";
      std::filesystem::copy_file(test::FromUnixPath(fixtures) / c.users_signed_package,
                                 package.native() + L".exe");
      g_users_folder = package;
    }
    const std::filesystem::path folder = Folder(L"package " + std::to_wstring(++number));
    HANDLE ready = c.event_exists ? CreateEventW(nullptr, TRUE, FALSE,
                                                 GetObjectNameForFolder(kPackageReadyEvent,
                                                                        folder, true)
                                                     .c_str())
                                  : nullptr;
    if (c.after_elevation) {
      DenyCreating(folder);
      SetAdminMembershipForTesting(kLinkedAdmin);
      // The elevated copy (the holder) ends at once; the package is there.
      SetEvent(ready);
    } else {
      SetAdminMembershipForTesting(kAdmin);
    }
    PackageArrives observer(ready);
    RecordingObserver run =
        env_.Run(folder, {.switches = Switches({L"--wait-for-package=" + package.native()}),
                          .observer = &observer,
                          .self_executable = holder});
    if (ready) CloseHandle(ready);
    SetFileSecurityForTesting(nullptr);
    EXPECT_EQ(run.events, c.events);
    EXPECT_EQ(run.failed_message, c.failure);

    std::vector<std::string> started = Lines(Started());
    // Nothing a user could have changed is started.
    if (c.users_signed_package) {
      EXPECT_TRUE(started.empty());
    }
    std::filesystem::remove(Started());
    if (!*c.failure) {
      // The package's installer gets the run's own wishes; after an
      // elevated installation it only does what is left for this user.
      ASSERT_EQ(started.size(), c.after_elevation ? 2u : 1u);
      const std::string& package_installer = started.back();
      EXPECT_TRUE(Has(package_installer, "--launchnorva=1")) << package_installer;
      EXPECT_EQ(Has(package_installer, "--post-elevated-install-tasks"), c.after_elevation)
          << package_installer;
      if (c.after_elevation) {
        EXPECT_TRUE(Has(started[0], "--launchnorva=0")) << started[0];
      }
    }
  }
}

}  // namespace
}  // namespace norva::installer
