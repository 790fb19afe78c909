#include "system/admin_only.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <string>

#include "base/file_util.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "support/folder_link.h"
#include "support/scratch.h"
#include "system/access_rights.h"
#include "system/shortcut_steps.h"
#include "system/transactions/journal_format.h"
#include "system/transactions/journal_scope.h"

namespace norva::installer {
namespace {

using Kind = JournalRecord::Kind;

TEST(AdminOnlyTest, OnlyTheAdministratorsSystemAndTrustedInstallerMayOwnOrChangeIt) {
  constexpr wchar_t kUser[] = L"S-1-5-21-1-2-3-1001";
  const struct {
    std::wstring sddl;
    bool folder;
    bool trusted;
  } kCases[] = {
      {L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true, true},
      {L"O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;;0x1200a9;;;WD)", true, true},  // read for all
      {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464D:(A;;FA;;;BA)", false, true},
      // A grant that applies only to what is made inside, and a denial.
      {L"O:BAD:(A;OICIIO;FA;;;CO)(D;;FA;;;WD)(A;;FA;;;BA)", true, true},
      {L"O:BAD:(A;;0x40;;;BU)", false, true},  // deleting children means nothing on a file
      {std::wstring(L"O:") + kUser + L"D:P(A;;FA;;;SY)(A;;FA;;;BA)", true, false},
      {L"O:BAD:(A;;FA;;;BA)(A;;0x2;;;BU)", true, false},     // add a file
      {L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;AU)", true, false},     // add a folder, append
      {L"O:BAD:(A;;FA;;;BA)(A;;SD;;;WD)", false, false},     // delete
      {L"O:BAD:(A;;FA;;;BA)(A;;WD;;;IU)", false, false},     // WRITE_DAC
      {L"O:BAD:(A;;FA;;;BA)(A;;WO;;;BU)", false, false},     // WRITE_OWNER
      {L"O:BAD:(A;;FA;;;BA)(A;;GW;;;BU)", false, false},
      {L"O:BAD:(A;;FA;;;BA)(A;;0x40;;;BU)", true, false},    // delete what the folder holds
      {std::wstring(L"O:BAD:(A;;FA;;;BA)(A;;FA;;;") + kUser + L")", false, false},
      {L"O:BA", true, false},                                 // no DACL: everyone, everything
  };
  for (const auto& c : kCases) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(c.sddl.c_str(), SDDL_REVISION_1,
                                                                     &descriptor, nullptr))
        << WideToUtf8(c.sddl);
    std::string why;
    EXPECT_EQ(c.trusted, IsAdminOnlyDescriptor(descriptor, c.folder, &why)) << WideToUtf8(c.sddl);
    EXPECT_EQ(c.trusted, why.empty()) << WideToUtf8(c.sddl) << " " << why;
    LocalFree(descriptor);
  }
}

TEST(AdminOnlyTest, ALinkIsNotOpenedNorAnythingReachedThroughOne) {
  test::ScratchFolder scratch;
  const std::filesystem::path real = scratch.path() / L"real", link = scratch.path() / L"link";
  test::WriteFile(real / L"file", "x");
  const test::FolderLinkKind kind = test::MakeFolderLink(link, real);
  ASSERT_NE(test::FolderLinkKind::kNone, kind);
  for (const std::filesystem::path& path : {link, link / L"file"}) {
    EXPECT_FALSE(OpenWithoutLinks(FilePath(path.wstring()), READ_CONTROL, FILE_SHARE_READ));
    EXPECT_EQ(static_cast<DWORD>(ERROR_CANT_ACCESS_FILE), GetLastError());
  }
  EXPECT_TRUE(OpenWithoutLinks(FilePath((real / L"file").wstring()), READ_CONTROL, FILE_SHARE_READ));
  std::string why;
  EXPECT_FALSE(IsAdminOnlyFolder(FilePath(link.wstring()), &why));
  EXPECT_NE(why.find("link"), std::string::npos);
  if (kind == test::FolderLinkKind::kUnix) {
    EXPECT_TRUE(test::RemoveUnixLinks({link}));
  }
}

// The scope of a real installation: exactly what it writes, and nothing of
// other programs beside it.
TEST(JournalScopeTest, OnlyWhatAnInstallationWritesIsInScope) {
  const FilePath install(L"C:\\Program Files\\Norva & Co");
  const std::wstring product = Utf8ToWide(product::ProductName());
  const std::wstring uninstall = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
  const std::wstring compat =
      L"Software\\Microsoft\\Windows NT\\CurrentVersion\\AppCompatFlags\\";
  const FilePath programs = GetShortcutFolders(false).folder[kStartMenuShortcut];
  const FilePath all_programs = GetShortcutFolders(true).folder[kStartMenuShortcut];
  ASSERT_FALSE(programs.empty());
  const std::wstring shortcut = Utf8ToWide(product::VisibleProductName()) + L" Stable.lnk";
  auto value = [](uint32_t root, std::wstring key, std::wstring name) {
    return JournalRecord{.kind = Kind::kChangedValue,
                         .texts = {std::move(key), std::move(name)},
                         .numbers = {root, REG_SZ},
                         .blobs = {{}}};
  };
  auto key = [](uint32_t root, std::wstring key) {
    return JournalRecord{.kind = Kind::kCreatedKey, .texts = {std::move(key)}, .numbers = {root}};
  };
  auto folder = [](const FilePath& path) {
    return JournalRecord{.kind = Kind::kCreatedFolder,
                         .texts = {path.native(), path.parent_path().native()}};
  };
  auto file = [](const FilePath& path) {
    return JournalRecord{.kind = Kind::kCreatedFile, .texts = {path.native()}};
  };
  auto rights = [](const std::wstring& key) {
    return JournalRecord{.kind = Kind::kWidenedAccess,
                         .texts = {RegistryObjectName(HKEY_LOCAL_MACHINE, key)},
                         .numbers = {kRegistryObjectType},
                         .blobs = {{}}};
  };
  auto deleted = [](const std::wstring& key, const std::wstring& value) {
    return JournalRecord{.kind = Kind::kDeletedKey,
                         .texts = {key, value},
                         .numbers = {1, REG_NONE},
                         .blobs = {{}, {}}};
  };
  const struct {
    const char* what;
    JournalRecord record;
    bool machine;
    bool allowed;
  } kCases[] = {
      {"own class key", value(2, L"Software\\Classes\\" + product + L"Stable\\shell", L""), true, true},
      {"own uninstall entry", value(2, uninstall + product + L" 1.2.3", L"UninstallString"), true, true},
      {"own company key", key(1, L"Software\\" + Utf8ToWide(product::CompanyName()) + L"\\x"), false, true},
      {"open-with value", value(1, L"Software\\Classes\\.htm\\OpenWithProgIDs", product + L"Stable"), false, true},
      {"open-with key made", key(1, L"Software\\Classes\\.xht"), false, true},
      {"launcher's compatibility entry",
       value(2, compat + L"Compatibility Assistant\\Persisted", install.native() + L"\\launcher.EXE"), true, true},
      {"shortcut", file(programs / shortcut), false, true},
      {"set-aside shortcut", file(programs / (shortcut + L".1700000000.old")), false, true},
      {"company menu folder", folder(programs / Utf8ToWide(product::CompanyName())), false, true},
      {"file in the installation", file(install / L"a\\b.dll"), false, true},
      {"another product's uninstall entry", value(2, uninstall + L"Other", L"UninstallString"), true, false},
      {"an uninstall entry that only begins so", value(2, uninstall + product + L"X", L"x"), true, false},
      {"a class server", value(2, L"Software\\Classes\\CLSID\\{0}\\InprocServer32", L""), true, false},
      {"another compatibility entry",
       value(2, compat + L"Compatibility Assistant\\Persisted", L"C:\\Other\\x.exe"), true, false},
      {"compatibility layers", value(2, compat + L"Layers", install.native() + L"\\launcher.exe"), true, false},
      {"classes itself", value(2, L"Software\\Classes", L"x"), true, false},
      {"classes itself made", key(2, L"Software\\Classes\\"), true, false},
      // A fresh profile lacks the keys above the product's: made, they go
      // again only while empty.
      {"a fresh profile's classes", key(1, L"Software\\Classes"), false, true},
      {"the way to the product's client", key(1, L"Software\\Clients\\StartMenuInternet"), false, true},
      {"the way to the uninstall entries", key(2, uninstall.substr(0, uninstall.size() - 1)), true, true},
      {"software itself made", key(1, L"Software"), false, false},
      {"another client's key made", key(1, L"Software\\Clients\\Mail"), false, false},
      {"a key beside the way made", key(1, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run"), false, false},
      {"another program's open-with value", value(1, L"Software\\Classes\\.htm\\OpenWithProgIDs", L"Other"), false, false},
      {"another extension's default", value(1, L"Software\\Classes\\.htm", L""), false, false},
      {"a key climbing out", key(1, L"Software\\Classes\\" + product + L"\\..\\..\\Policies"), false, false},
      {"the start menu itself made", folder(programs), false, false},
      {"another program's shortcut", file(programs / L"Other.lnk"), false, false},
      {"a shortcut below the menu", file(programs / L"Other" / shortcut), false, false},
      {"HKLM from a user's journal", value(2, uninstall + product + L" 1.2.3", L"x"), false, false},
      {"all users' menu from a user's journal", file(all_programs / shortcut), false, all_programs.empty()},
      {"rights of the open-with list", rights(L"Software\\Classes\\.htm\\OpenWithProgIDs"), true, true},
      {"rights of a key on the way to it", rights(L"Software\\Classes\\.htm"), true, false},
      {"open-with list rebuilt", deleted(L"Software\\Classes\\.xht\\OpenWithProgIDs", product + L"Stable"), false, true},
      {"open-with list rebuilt with another's value", deleted(L"Software\\Classes\\.xht\\OpenWithProgIDs", L"Other"), false, false},
  };
  for (const auto& c : kCases) {
    JournalScope scope = JournalScope::ForInstallFolder(install, c.machine);
    EXPECT_EQ(c.allowed, scope.Refusal(c.record) == nullptr) << c.what;
  }
  // Only made folders of the installation go with what is in them.
  JournalScope scope = JournalScope::ForInstallFolder(install, true);
  EXPECT_TRUE(scope.AllowsFolderTree(install / L"sub"));
  EXPECT_FALSE(scope.AllowsFolderTree(programs / Utf8ToWide(product::CompanyName())));
  EXPECT_FALSE(scope.OwnsKey(2, L"Software\\Classes\\.xht"));
}

}  // namespace
}  // namespace norva::installer
