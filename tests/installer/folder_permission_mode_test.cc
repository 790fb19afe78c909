// The elevated helper role: it may run as another account than the user who
// asked, with that user's environment.
#include "installer/folder_permission_mode.h"

#include <windows.h>
#include <lmcons.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/strings.h"
#include "support/object_acl.h"
#include "support/scratch.h"
#include "system/object_names.h"
#include "system/object_security.h"

namespace norva::installer {
namespace {

std::wstring UserName() {
  wchar_t user[UNLEN + 1];
  DWORD size = UNLEN + 1;
  return GetUserNameW(user, &size) ? user : L"";
}

// The grant names the user by the SID the requester passed; an account name,
// which can be ambiguous between a local, a domain and a cloud account, only
// when an older requester gave no SID.
TEST(FolderPermissionModeTest, GrantNamesTheRequesterBySid) {
  const struct {
    const char* name;
    std::wstring user;  // an account name, as every requester gives one
    std::wstring sid;   // none from an older requester
    bool granted;
  } kCases[] = {
      {"this user's SID", UserName(), Utf8ToWide(test::TokenUserSid()), true},
      {"another account's SID", UserName(), L"S-1-5-21-1111111111-2222222222-3333333333-1234", true},
      {"not a SID, whatever the name", UserName(), L"S-1-5-21-x", false},
      {"an older requester's account name", UserName(), L"", true},
      {"an older requester's unknown account", L"NoSuchAccount42", L"", false},
  };
  test::ScratchFolder scratch;
  int number = 0;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const std::filesystem::path folder = scratch.path() / ("granted " + std::to_string(++number));
    ScopedHandle given = CreateSharedEvent(
        GetObjectNameForFolder(kGivePermissionEvent, FilePath(folder), false), false);
    ScopedHandle undo = CreateSharedEvent(
        GetObjectNameForFolder(kGivePermissionUndoEvent, FilePath(folder), false), false);
    ASSERT_TRUE(given && undo);
    std::vector<std::wstring> argv = {L"installer.exe", L"--set-folder-permission=" + folder.native(),
                                      L"--permissions-for-user=" + c.user, L"--permanent-permissions"};
    if (!c.sid.empty()) argv.push_back(L"--permissions-for-sid=" + c.sid);
    RunFolderPermissionMode(CommandLine::FromArgv(argv));
    // The helper signals once the folder's new DACL is written. (Wine keeps
    // a folder's DACL as Unix mode bits, so the entry of another account
    // cannot be read back there.)
    EXPECT_EQ(WaitForSingleObject(given.get(), 0), c.granted ? WAIT_OBJECT_0 : WAIT_TIMEOUT);
  }
}

// The uninstall script runs through the system's own command interpreter:
// %ComSpec% comes from the less privileged caller's environment.
TEST(FolderPermissionModeTest, UninstallScriptIgnoresAPlantedComSpec) {
  test::ScratchFolder scratch;
  const std::filesystem::path marker = scratch.path() / L"ran.txt";
  test::WriteFile(scratch.path() / L"k.bat",
                  "@echo off\r\necho ran>\"" + WideToUtf8(marker.native()) + "\"\r\n");
  wchar_t previous[MAX_PATH] = {};
  const bool had = GetEnvironmentVariableW(L"ComSpec", previous, MAX_PATH) > 0;
  SetEnvironmentVariableW(L"ComSpec", (scratch.path() / L"planted" / L"cmd.exe").c_str());
  RunUninstallBatchFile(FilePath(scratch.path()));
  SetEnvironmentVariableW(L"ComSpec", had ? previous : nullptr);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!PathExists(marker) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(PathExists(marker));
  // The script has ended once its output is complete; the folder goes with
  // the scratch folder.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
}

}  // namespace
}  // namespace norva::installer
