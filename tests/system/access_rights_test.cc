#include "system/access_rights.h"

#include <aclapi.h>
#include <sddl.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "base/strings.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "system/scratch_key.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

// The DACL of what a security function returned, in SDDL, or "(unreadable)".
// Frees the descriptor.
std::string DaclText(DWORD result, PSECURITY_DESCRIPTOR descriptor) {
  wchar_t* text = nullptr;
  std::string dacl = "(unreadable)";
  if (result == ERROR_SUCCESS && ConvertSecurityDescriptorToStringSecurityDescriptorW(
                                     descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                     &text, nullptr)) {
    dacl = WideToUtf8(text);
    LocalFree(text);
  }
  if (descriptor) LocalFree(descriptor);
  return dacl;
}

std::string FileDacl(const std::filesystem::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION,
                                       nullptr, nullptr, nullptr, nullptr, &descriptor);
  return DaclText(result, descriptor);
}

TEST(AccessRightsTest, DeniedFileIsWidenedAndRestoredOrWidenedForGood) {
  test::ScratchFolder scratch;
  std::filesystem::path file = scratch.path() / L"f.txt";
  test::WriteFile(file, "x");
  ASSERT_TRUE(test::SetFileSecurityText(file, L"D:P(D;;FW;;;WD)(A;;FA;;;WD)"));

  EXPECT_TRUE(CheckAccess(file.native(), kFileObjectType, GENERIC_READ));
  EXPECT_FALSE(CheckAccess(file.native(), kFileObjectType, GENERIC_WRITE));
  EXPECT_FALSE(CheckAccess(file.native(), 2, GENERIC_READ));
  EXPECT_FALSE(CheckAccess((scratch.path() / L"missing").native(), kFileObjectType, GENERIC_READ));

  std::unique_ptr<SavedPermissions> saved;
  ASSERT_TRUE(ObtainPermissions(file.native(), kFileObjectType, 0x130116, false, &saved));
  ASSERT_TRUE(saved);
  EXPECT_TRUE(CheckAccess(file.native(), kFileObjectType, GENERIC_WRITE));
  EXPECT_TRUE(RestorePermissions(&saved));
  EXPECT_FALSE(saved);
  EXPECT_FALSE(RestorePermissions(&saved));
  // Wine keeps a file's DACL as Unix mode bits, so the restored DACL is not
  // compared here; the registry tests compare restored key DACLs exactly.
  EXPECT_NE("(unreadable)", FileDacl(file));

  ASSERT_TRUE(ObtainPermissions(file.native(), kFileObjectType, 0x130116, true, &saved));
  EXPECT_FALSE(saved);
  EXPECT_TRUE(CheckAccess(file.native(), kFileObjectType, GENERIC_WRITE));
}

// Inside a cache's scope a grant holds until rights change in the process;
// a denial, or a check outside the scope, reads the DACL again. DACLs set
// behind the functions' back (SetKeySecurityText) stand for another
// process's changes.
TEST(AccessRightsTest, CacheKeepsGrantsUntilRightsChange) {
  test::ScratchKey scratch;
  const std::wstring name = RegistryObjectName(HKEY_CURRENT_USER, scratch.path());
  const wchar_t* kWritable = L"D:P(A;;KA;;;WD)";
  const wchar_t* kReadOnly = L"D:P(A;;KR;;;WD)";
  auto writable = [&] { return CheckAccess(name, kRegistryObjectType, KEY_SET_VALUE); };
  {
    ScopedAccessCheckCache cache;
    ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kWritable));
    EXPECT_TRUE(writable());
    ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kReadOnly));
    EXPECT_TRUE(writable()) << "the grant is remembered";
    EXPECT_FALSE(CheckAccess(name, kRegistryObjectType, KEY_SET_VALUE | KEY_CREATE_SUB_KEY))
        << "another access is checked on its own";
    NoteAccessRightsChanged();
    EXPECT_FALSE(writable());
    ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kWritable));
    EXPECT_TRUE(writable()) << "a denial is not remembered";

    // Our own widening and restoring forget on their own.
    ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kReadOnly));
    NoteAccessRightsChanged();
    std::unique_ptr<SavedPermissions> saved;
    ASSERT_TRUE(ObtainPermissions(name, kRegistryObjectType, KEY_SET_VALUE, false, &saved));
    EXPECT_TRUE(writable());
    ASSERT_TRUE(RestorePermissions(&saved));
    EXPECT_FALSE(writable());
  }
  ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kWritable));
  EXPECT_TRUE(writable());
  ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kReadOnly));
  EXPECT_FALSE(writable()) << "no cache outside the scope";
  ASSERT_TRUE(test::SetKeySecurityText(scratch.path(), kWritable));  // so that it can go
}

TEST(AccessRightsTest, AdministratorCheckAndPrivileges) {
  EXPECT_TRUE(IsUserAdmin(false));
  EXPECT_TRUE(IsUserAdmin(true));
  SetAdminMembershipForTesting(AdminMembership::kNotMember);
  EXPECT_FALSE(IsUserAdmin(true));
  SetAdminMembershipForTesting(std::nullopt);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_TRUE(EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, true, token));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege", true, token));
}

std::string EventDacl(HANDLE event) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  DWORD result = GetSecurityInfo(event, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                 nullptr, nullptr, nullptr, &descriptor);
  return DaclText(result, descriptor);
}

// The event keeps its entries and gains one for the Administrators group
// that grants everything, whether the system stores it generic or mapped.
// A handle that may not read or write the DACL fails without a change. (Wine
// drops a DACL's protection whatever it is told, so the DACL here is an
// unprotected one.)
TEST(AccessRightsTest, FixEventACLGrantsAdministratorsOnARealEvent) {
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
      L"D:(A;;0x1F0003;;;WD)", SDDL_REVISION_1, &attributes.lpSecurityDescriptor, nullptr));
  const std::wstring name = L"NorvaTest/FixEventACL/" + std::to_wstring(GetCurrentProcessId());
  HANDLE event = CreateEventW(&attributes, FALSE, FALSE, name.c_str());
  LocalFree(attributes.lpSecurityDescriptor);
  ASSERT_TRUE(event);
  const std::string before = EventDacl(event);
  ASSERT_EQ(before, "D:(A;;0x1f0003;;;WD)");

  struct Case {
    const char* name;
    DWORD access;
  } refused[] = {{"no read", WRITE_DAC | SYNCHRONIZE}, {"no write", READ_CONTROL | SYNCHRONIZE}};
  for (const Case& c : refused) {
    HANDLE limited = OpenEventW(c.access, FALSE, name.c_str());
    ASSERT_TRUE(limited) << c.name;
    EXPECT_FALSE(FixEventACL(limited)) << c.name;
    CloseHandle(limited);
    EXPECT_EQ(EventDacl(event), before) << c.name;
  }

  ASSERT_TRUE(FixEventACL(event));
  const std::string after = EventDacl(event);
  EXPECT_NE(after.find("(A;;0x1f0003;;;WD)"), std::string::npos) << after;
  EXPECT_TRUE(after.find("(A;;GA;;;BA)") != std::string::npos ||
              after.find("(A;;0x1f0003;;;BA)") != std::string::npos)
      << after;
  EXPECT_EQ(std::count(after.begin(), after.end(), '('), 2) << after;
  // The named object itself carries the entry, not only this handle's view.
  HANDLE reopened = OpenEventW(READ_CONTROL, FALSE, name.c_str());
  ASSERT_TRUE(reopened);
  EXPECT_EQ(EventDacl(reopened), after);
  CloseHandle(reopened);
  CloseHandle(event);
}

TEST(WindowsVersionTest, Ranks) {
  EXPECT_EQ(kWindowsBeforeXP, WindowsVersionRankOf(5, 0, 2195));
  EXPECT_EQ(kWindowsXP, WindowsVersionRankOf(5, 1, 2600));
  EXPECT_EQ(kWindowsServer2003, WindowsVersionRankOf(5, 2, 3790));
  EXPECT_EQ(kWindowsVista, WindowsVersionRankOf(6, 0, 6002));
  EXPECT_EQ(kWindows7, WindowsVersionRankOf(6, 1, 7601));
  EXPECT_EQ(kWindows8, WindowsVersionRankOf(6, 2, 9200));
  EXPECT_EQ(kWindows81, WindowsVersionRankOf(6, 3, 9600));
  EXPECT_EQ(kWindows10, WindowsVersionRankOf(10, 0, 10240));
  EXPECT_EQ(kWindows10TH2, WindowsVersionRankOf(10, 0, 10586));
  EXPECT_EQ(kWindowsLater, WindowsVersionRankOf(11, 0, 0));
  EXPECT_GE(GetWindowsVersionRank(), kWindows7);  // what the test prefix reports
}

}  // namespace
}  // namespace norva::installer
