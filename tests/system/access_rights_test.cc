#include "system/access_rights.h"

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include "base/strings.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

std::string FileDacl(const std::filesystem::path& path) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  wchar_t* text = nullptr;
  if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                            nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(
          descriptor, SDDL_REVISION_1, DACL_SECURITY_INFORMATION, &text, nullptr)) {
    return "(unreadable)";
  }
  std::string result = WideToUtf8(text);
  LocalFree(text);
  LocalFree(descriptor);
  return result;
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

TEST(AccessRightsTest, AdministratorCheckAndPrivileges) {
  EXPECT_TRUE(IsUserAdmin(false));
  EXPECT_TRUE(IsUserAdmin(true));
  SetAdminMembershipForTesting(0);
  EXPECT_FALSE(IsUserAdmin(true));
  SetAdminMembershipForTesting(-1);

  HANDLE token = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_TRUE(EnablePrivilege(SE_TAKE_OWNERSHIP_NAME, true, token));
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token));
  EXPECT_FALSE(EnablePrivilege(L"SeNoSuchPrivilege", true, token));
}

TEST(WindowsVersionTest, RanksAndSeam) {
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
  SetWindowsVersionRankForTesting(kWindowsXP);
  EXPECT_EQ(kWindowsXP, GetWindowsVersionRank());
  SetWindowsVersionRankForTesting(-1);
  EXPECT_GE(GetWindowsVersionRank(), kWindows7);
}

}  // namespace
}  // namespace norva::installer
