#include "base/file_util.h"

#include <aclapi.h>
#include <sddl.h>
#include <gtest/gtest.h>
#include <knownfolders.h>

#include <set>

#include "base/strings.h"
#include "support/folder_link.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using test::ReadFile;
using test::ScratchFolder;
using test::WriteFile;

size_t CountEntries(const std::filesystem::path& folder) {
  return std::distance(std::filesystem::directory_iterator(folder),
                       std::filesystem::directory_iterator());
}

TEST(FileUtilTest, SystemFolders) {
  std::filesystem::path temp = GetTempFolder();
  EXPECT_TRUE(IsAbsolutePath(temp));
  EXPECT_TRUE(DirectoryExists(temp));
  EXPECT_FALSE(temp.filename().empty());  // no trailing separator
  EXPECT_TRUE(DirectoryExists(GetKnownFolder(FOLDERID_LocalAppData)));
  std::filesystem::path executable = GetExecutablePath();
  EXPECT_TRUE(EqualsCaseInsensitiveASCII(executable.filename().wstring(), L"base_tests.exe"));
  EXPECT_TRUE(PathExists(executable));
  EXPECT_FALSE(DirectoryExists(executable));
}

TEST(FileUtilTest, IsAbsolutePath) {
  for (const wchar_t* path : {L"C:\\Program Files\\x", L"c:/x", L"\\\\server\\share\\x"})
    EXPECT_TRUE(IsAbsolutePath(path)) << path;
  for (const wchar_t* path : {L"C:x", L"\\x", L"x\\y", L""}) EXPECT_FALSE(IsAbsolutePath(path)) << path;
}

TEST(FileUtilTest, ExtendedLengthPathForms) {
  struct Case {
    const wchar_t* path;
    const wchar_t* expected;
  } cases[] = {
      {L"C:\\Program Files\\Norva", L"\\\\?\\C:\\Program Files\\Norva"},
      {L"c:\\MiXeD\\Case.TXT", L"\\\\?\\c:\\MiXeD\\Case.TXT"},
      {L"C:\\", L"\\\\?\\C:\\"},
      {L"C:/", L"\\\\?\\C:\\"},
      {L"C:/Users/a b/x.dll", L"\\\\?\\C:\\Users\\a b\\x.dll"},
      {L"C:\\a\\\\b\\.\\c\\", L"\\\\?\\C:\\a\\b\\c"},
      {L"C:\\a\\b\\..\\c", L"\\\\?\\C:\\a\\c"},
      {L"C:\\a\\..\\..\\..\\b", L"\\\\?\\C:\\b"},
      {L"C:\\a\\..", L"\\\\?\\C:\\"},
      {L"C:\\x&y (1) 100% %TEMP%\\\u00e9t\u00e9\\\u65e5\u672c",
       L"\\\\?\\C:\\x&y (1) 100% %TEMP%\\\u00e9t\u00e9\\\u65e5\u672c"},
      {L"C:\\trailing dot.\\space ", L"\\\\?\\C:\\trailing dot.\\space "},
      {L"\\\\server\\share\\dir\\f.txt", L"\\\\?\\UNC\\server\\share\\dir\\f.txt"},
      {L"//Server/Share/Dir", L"\\\\?\\UNC\\Server\\Share\\Dir"},
      {L"\\\\server\\share", L"\\\\?\\UNC\\server\\share"},
      {L"\\\\server\\share\\..\\..\\x", L"\\\\?\\UNC\\server\\share\\x"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExtendedLengthPath(c.path), c.expected) << WideToUtf8(c.path);
  // Left as they are: already extended, devices, incomplete UNC, relative.
  for (const wchar_t* path :
       {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\x", L"\\\\.\\pipe\\name",
        L"\\\\server", L"\\\\server\\", L"relative\\..\\path", L"C:relative", L"\\rooted\\x", L""})
    EXPECT_EQ(ExtendedLengthPath(path), path) << WideToUtf8(path);
}

TEST(FileUtilTest, CreateDirectoriesAndDeleteTree) {
  ScratchFolder scratch;
  std::filesystem::path deep = scratch.path() / L"a" / L"b\u00e9" / L"c";
  EXPECT_TRUE(CreateDirectories(deep));
  EXPECT_TRUE(CreateDirectories(deep));
  WriteFile(scratch.path() / L"a" / L"file", "x");
  EXPECT_FALSE(CreateDirectories(scratch.path() / L"a" / L"file" / L"sub"));

  WriteFile(deep / L"read-only", "x");
  SetFileAttributesW((deep / L"read-only").c_str(), FILE_ATTRIBUTE_READONLY);
  SetFileAttributesW(deep.c_str(), FILE_ATTRIBUTE_READONLY);
  EXPECT_TRUE(DeleteTree(scratch.path() / L"a"));
  EXPECT_FALSE(PathExists(scratch.path() / L"a"));
  EXPECT_TRUE(DeleteTree(scratch.path() / L"a"));  // already gone
  WriteFile(scratch.path() / L"single", "x");
  EXPECT_TRUE(DeleteTree(scratch.path() / L"single"));
  EXPECT_FALSE(PathExists(scratch.path() / L"single"));
}

// While a folder is emptied nobody can rename it and put a link in its
// place, which would take the rest of the walk to the link's target.
TEST(FileUtilTest, DeleteTreeHoldsEachFolderItEmpties) {
  ScratchFolder scratch;
  const std::filesystem::path tree = scratch.path() / L"tree";
  WriteFile(tree / L"sub" / L"file", "x");
  std::vector<DWORD> renames;
  EXPECT_TRUE(DeleteTree(tree, [&](const std::function<bool()>& remove) {
    for (const std::filesystem::path& folder : {tree, tree / L"sub"}) {
      if (!PathExists(folder)) continue;
      const std::filesystem::path aside = folder.wstring() + L" aside";
      renames.push_back(MoveFileExW(folder.c_str(), aside.c_str(), 0) ? ERROR_SUCCESS
                                                                          : GetLastError());
      if (renames.back() == ERROR_SUCCESS) MoveFileExW(aside.c_str(), folder.c_str(), 0);
    }
    return remove();
  }));
  // Each attempt before a folder's own removal found it held.
  ASSERT_FALSE(renames.empty());
  EXPECT_EQ(renames.front(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(PathExists(tree));
}

// The link is seen as one and reaches the target: a walk that followed it
// would delete the target's files.
TEST(FileUtilTest, DeleteTreeRemovesALinkWithoutFollowingIt) {
  ScratchFolder scratch;
  std::filesystem::path target = scratch.path() / L"target";
  std::filesystem::path tree = scratch.path() / L"tr\u00e9e & (1) %x% !";
  std::filesystem::path link = tree / L"link";
  std::filesystem::path probe = scratch.path() / L"probe";
  WriteFile(target / L"keep", "keep me");
  WriteFile(target / L"sub" / L"deeper", "keep me too");
  WriteFile(tree / L"file", "x");
  WriteFile(tree / L"sub" / L"file", "x");
  test::FolderLinkKind kind = test::MakeFolderLink(link, target);
  if (kind == test::FolderLinkKind::kNone) GTEST_SKIP() << "This system makes no folder links";
  ASSERT_TRUE(test::IsReparsePoint(link));
  ASSERT_EQ(ReadFile(link / L"keep"), "keep me");
  // Windows removes a link to a folder as it is; Wine 8 cannot remove one
  // to a folder that holds files (ERROR_DIR_NOT_EMPTY), and then the tree
  // has to stay with its link.
  bool removable = test::MakeFolderLink(probe, target) != test::FolderLinkKind::kNone &&
                   RemoveDirectoryW(probe.c_str());

  bool deleted = DeleteTree(tree);

  EXPECT_EQ(ReadFile(target / L"keep"), "keep me");
  EXPECT_EQ(ReadFile(target / L"sub" / L"deeper"), "keep me too");
  EXPECT_EQ(deleted, removable);
  EXPECT_EQ(PathExists(tree), !removable);
  if (!removable) {
    EXPECT_EQ(CountEntries(tree), 1u);
    EXPECT_TRUE(test::IsReparsePoint(link));
  }
  if (kind == test::FolderLinkKind::kUnix) {
    EXPECT_TRUE(test::RemoveUnixLinks({link, probe}));
  }
}

TEST(FileUtilTest, IsSafeRelativePath) {
  for (const wchar_t* path : {L"norva.exe", L"resources\\locales\\en-US.pak",
                              L"resources/locales/de.pak", L"a..b\\c", L"..a", L"a..",
                              L".hidden\\x", L"x & (1) 100% !\\d\u00e9j\u00e0\\\u65e5\u672c.txt"})
    EXPECT_TRUE(IsSafeRelativePath(path)) << WideToUtf8(path);
  // Leaving the folder, saying nothing, roots, drives and streams.
  for (const wchar_t* path :
       {L"", L"..", L"..\\x", L"../x", L"a\\..\\..\\b", L"a/../b", L"a\\..", L"a/..", L".",
        L".\\a", L"a\\.\\b", L"a\\", L"\\x", L"/x", L"C:\\x", L"C:x", L"\\\\server\\share\\x",
        L"\\\\?\\C:\\x", L"file.txt:stream"})
    EXPECT_FALSE(IsSafeRelativePath(path)) << WideToUtf8(path);
}

TEST(FileUtilTest, ReadFileToStringWithALimit) {
  ScratchFolder scratch;
  std::filesystem::path file = scratch.path() / L"data";
  std::string data(200000, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  WriteFile(file, data);
  std::string read;
  EXPECT_TRUE(ReadFileToString(file, &read));
  EXPECT_EQ(read, data);
  EXPECT_TRUE(ReadFileToString(file, &read, data.size()));
  EXPECT_EQ(read, data);
  EXPECT_FALSE(ReadFileToString(file, &read, 1000));
  EXPECT_EQ(read, data.substr(0, 1000));
  EXPECT_FALSE(ReadFileToString(scratch.path() / L"missing", &read));
  EXPECT_TRUE(read.empty());
}

TEST(FileUtilTest, WriteFileAtomicallyReplacesAndLeavesNothingBehind) {
  ScratchFolder scratch;
  std::filesystem::path file = scratch.path() / L"Local State";
  EXPECT_TRUE(WriteFileAtomically(file, "first"));
  EXPECT_EQ(ReadFile(file), "first");
  std::string big(3 << 20, 'b');
  EXPECT_TRUE(WriteFileAtomically(file, big));
  EXPECT_EQ(ReadFile(file), big);
  EXPECT_TRUE(WriteFileAtomically(file, ""));
  EXPECT_EQ(ReadFile(file), "");
  EXPECT_EQ(CountEntries(scratch.path()), 1u);

  // The old content stays when the new one cannot be put in place.
  WriteFile(file, "old");
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_READONLY);
  HANDLE held = CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            0, nullptr);
  EXPECT_FALSE(WriteFileAtomically(file, "new"));
  CloseHandle(held);
  SetFileAttributesW(file.c_str(), FILE_ATTRIBUTE_NORMAL);
  EXPECT_EQ(ReadFile(file), "old");
  EXPECT_EQ(CountEntries(scratch.path()), 1u);

  EXPECT_FALSE(WriteFileAtomically(scratch.path() / L"missing" / L"file", "x"));
  EXPECT_FALSE(PathExists(scratch.path() / L"missing"));
}

TEST(FileUtilTest, CreateOrOverwriteFile) {
  ScratchFolder scratch;
  std::filesystem::path file = scratch.path() / L"unpacked file";
  WriteFile(scratch.path() / L"other", "kept");
  struct Case {
    const char* before;  // null: no file yet
    DWORD share;
  } cases[] = {{nullptr, 0}, {"previous content", 0}, {"", FILE_SHARE_READ}};
  for (const Case& c : cases) {
    DeleteFileW(file.c_str());
    if (c.before) WriteFile(file, c.before);
    HANDLE handle = CreateOrOverwriteFile(ExtendedLengthPath(file), GENERIC_WRITE, c.share);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << (c.before ? c.before : "(none)");
    // The sharing asked for holds: a second writer is refused.
    HANDLE second = CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    if (second != INVALID_HANDLE_VALUE) CloseHandle(second);
    DWORD written = 0;
    EXPECT_TRUE(::WriteFile(handle, "new", 3, &written, nullptr));
    CloseHandle(handle);
    EXPECT_EQ(ReadFile(file), "new");
  }
  EXPECT_EQ(ReadFile(scratch.path() / L"other"), "kept");
  EXPECT_EQ(CountEntries(scratch.path()), 2u);

  // What cannot be opened fails with the system's reason, creating nothing.
  EXPECT_EQ(CreateOrOverwriteFile(ExtendedLengthPath(scratch.path()), GENERIC_WRITE, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(CreateOrOverwriteFile(ExtendedLengthPath(scratch.path() / L"missing" / L"file"),
                                  GENERIC_WRITE, 0),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(CountEntries(scratch.path()), 2u);
}

TEST(FileUtilTest, CopyFileAndUniqueTempFolders) {
  ScratchFolder scratch;
  WriteFile(scratch.path() / L"from", "content");
  WriteFile(scratch.path() / L"to", "previous");
  EXPECT_TRUE(CopyFile(scratch.path() / L"from", scratch.path() / L"to"));
  EXPECT_EQ(ReadFile(scratch.path() / L"to"), "content");
  EXPECT_FALSE(CopyFile(scratch.path() / L"missing", scratch.path() / L"to"));

  std::filesystem::path one = CreateUniqueTempFolderUnder(scratch.path());
  std::filesystem::path two = CreateUniqueTempFolderUnder(scratch.path());
  EXPECT_TRUE(DirectoryExists(one));
  EXPECT_TRUE(DirectoryExists(two));
  EXPECT_NE(one, two);
  EXPECT_EQ(one.parent_path(), scratch.path());
  EXPECT_TRUE(CreateUniqueTempFolderUnder(scratch.path() / L"missing").empty());
}

// Stands in for the process being SYSTEM and the system lacking
// GetTempPath2 while it lives; removes any run folder made meanwhile.
class TempConditions {
 public:
  TempConditions(bool as_system, bool temp_path2_missing)
      : conditions_{as_system, temp_path2_missing} {
    SetTempFolderConditionsForTesting(&conditions_);
  }
  ~TempConditions() {
    RemoveRunTempFolder();
    SetTempFolderConditionsForTesting(nullptr);
  }

 private:
  TempFolderConditions conditions_;
};

std::filesystem::path PlainTempFolder() {
  wchar_t buffer[MAX_PATH + 1];
  DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return std::filesystem::path(std::wstring(buffer, length)).parent_path();
}

std::wstring SidText(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return L"?";
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// The owner and the entries of a folder's DACL as "<sid>:<type>:<flags>:<mask>",
// and whether the DACL is protected from inheritance.
struct FolderSecurity {
  std::wstring owner;
  std::multiset<std::wstring> entries;
  std::set<std::wstring> allowed;  // the SIDs of the allowing entries
  bool protected_dacl = false;
};

bool ReadFolderSecurity(const std::filesystem::path& folder, FolderSecurity* security) {
  PSID owner = nullptr;
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                            nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
    return false;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  GetSecurityDescriptorControl(descriptor, &control, &revision);
  security->protected_dacl = (control & SE_DACL_PROTECTED) != 0;
  security->owner = SidText(owner);
  // No DACL at all would let everyone in.
  if (!dacl) security->allowed.insert(L"S-1-1-0");
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!GetAce(dacl, i, reinterpret_cast<void**>(&header))) return false;
    std::wstring entry = StringPrintf(L":%u:%u:", header->AceType, header->AceFlags);
    if (header->AceType == ACCESS_ALLOWED_ACE_TYPE || header->AceType == ACCESS_DENIED_ACE_TYPE) {
      auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
      entry = SidText(&ace->SidStart) + entry + StringPrintf(L"%lx", ace->Mask);
      if (header->AceType == ACCESS_ALLOWED_ACE_TYPE)
        security->allowed.insert(SidText(&ace->SidStart));
    }
    security->entries.insert(entry);
  }
  LocalFree(descriptor);
  return true;
}

// Whether the file system keeps the security descriptor a folder is made
// with (Wine 8 keeps none and derives one from the Unix mode bits).
bool KeepsFolderSecurity(const std::filesystem::path& scratch) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:P(A;;FA;;;BU)", SDDL_REVISION_1,
                                                            &descriptor, nullptr))
    return false;
  SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
  std::filesystem::path probe = scratch / L"probe";
  bool made = CreateDirectoryW(probe.c_str(), &attributes);
  LocalFree(descriptor);
  FolderSecurity security;
  return made && ReadFolderSecurity(probe, &security) && security.protected_dacl &&
         security.entries == std::multiset<std::wstring>{StringPrintf(
                                 L"S-1-5-32-545:%u:0:%lx", ACCESS_ALLOWED_ACE_TYPE,
                                 static_cast<unsigned long>(FILE_ALL_ACCESS))};
}

// Anyone else but SYSTEM without GetTempPath2 keeps the temporary folder
// as it always was, and nothing is made for the run.
TEST(FileUtilTest, RunTempFolderIsTheTempFolderUnlessSystemLacksGetTempPath2) {
  const std::filesystem::path temp = PlainTempFolder();
  struct Case {
    bool as_system;
    bool temp_path2_missing;
  } cases[] = {{false, false}, {false, true}, {true, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(StringPrintf("as system %d, GetTempPath2 missing %d", c.as_system,
                              c.temp_path2_missing));
    TempConditions conditions(c.as_system, c.temp_path2_missing);
    // With GetTempPath2, SYSTEM gets its own folder from the system; the test
    // process is no SYSTEM, so the answer is the temporary folder.
    EXPECT_EQ(GetRunTempFolder(), temp);
    EXPECT_EQ(GetTempFolder(), temp);
  }
  EXPECT_EQ(GetRunTempFolder(), temp);
}

TEST(FileUtilTest, SystemWithoutGetTempPath2GetsAPrivateFolderForTheRun) {
  const std::filesystem::path temp = PlainTempFolder();
  std::filesystem::path first;
  {
    TempConditions conditions(true, true);
    first = GetRunTempFolder();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(first.parent_path(), temp);
    EXPECT_TRUE(DirectoryExists(first));
    // The log and the download folder are chosen at different times.
    EXPECT_EQ(GetRunTempFolder(), first);
    // Only the temporary folder under it is for everyone.
    EXPECT_EQ(GetTempFolder(), temp);

    // Nobody but SYSTEM, the administrators and the owner (Wine's own
    // user, where it derives the entries from the mode bits) may use it.
    FolderSecurity security;
    ASSERT_TRUE(ReadFolderSecurity(first, &security));
    for (const std::wstring& sid : security.allowed)
      EXPECT_TRUE(sid == L"S-1-5-18" || sid == L"S-1-5-32-544" || sid == security.owner) << sid;
    ScratchFolder scratch;
    if (KeepsFolderSecurity(scratch.path())) {
      EXPECT_TRUE(security.protected_dacl);
      EXPECT_EQ(security.owner, L"S-1-5-32-544");
      const std::wstring full = StringPrintf(L":%u:%u:%lx", ACCESS_ALLOWED_ACE_TYPE,
                                             OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE,
                                             static_cast<unsigned long>(FILE_ALL_ACCESS));
      EXPECT_EQ(security.entries,
                (std::multiset<std::wstring>{L"S-1-5-18" + full, L"S-1-5-32-544" + full}));
    }

    // What the run puts there goes with the folder at its end.
    ASSERT_TRUE(CreateDirectories(first / L"Norva Installer"));
    WriteFile(first / L"Norva Installer" / L"package.exe", "package");
    EXPECT_TRUE(RemoveRunTempFolder());
    EXPECT_FALSE(PathExists(first));

    // A later run, or a later call, never takes the same name again.
    std::filesystem::path second = GetRunTempFolder();
    EXPECT_FALSE(second.empty());
    EXPECT_NE(second, first);
  }
  EXPECT_FALSE(PathExists(first));
}

TEST(FileUtilTest, APrivateFolderNeverTakesAnExistingName) {
  ScratchFolder scratch;
  std::filesystem::path target = scratch.path() / L"elsewhere";
  ASSERT_TRUE(CreateDirectories(target));
  enum Taken { kFolder, kFile, kLink };
  for (Taken taken : {kFolder, kFile, kLink}) {
    SCOPED_TRACE(static_cast<int>(taken));
    std::filesystem::path base = scratch.path() / std::to_wstring(taken);
    ASSERT_TRUE(CreateDirectories(base));
    std::filesystem::path existing = base / L"taken";
    if (taken == kFolder) {
      ASSERT_TRUE(CreateDirectories(existing));
      WriteFile(existing / L"planted.exe", "planted");
    } else if (taken == kFile) {
      WriteFile(existing, "planted");
    } else if (test::MakeFolderLink(existing, target) == test::FolderLinkKind::kNone) {
      continue;
    }
    std::vector<std::wstring> names = {L"taken", L"taken", L"fresh"};
    size_t next = 0;
    std::filesystem::path made =
        CreatePrivateFolderUnder(base, [&] { return next < names.size() ? names[next++] : L""; });
    EXPECT_EQ(made, base / L"fresh");
    EXPECT_EQ(next, 3u);
    if (taken == kFolder) {
      EXPECT_EQ(ReadFile(existing / L"planted.exe"), "planted");
    } else if (taken == kFile) {
      EXPECT_EQ(ReadFile(existing), "planted");
    } else {
      test::RemoveUnixLinks({existing});
    }

    // Only taken names: nothing is made.
    EXPECT_TRUE(CreatePrivateFolderUnder(base, [] { return L"fresh"; }).empty());
  }
  EXPECT_EQ(CountEntries(target), 0u);

  // The names of the system's generator differ every time.
  std::filesystem::path one = CreatePrivateFolderUnder(scratch.path());
  std::filesystem::path two = CreatePrivateFolderUnder(scratch.path());
  EXPECT_TRUE(DirectoryExists(one));
  EXPECT_TRUE(DirectoryExists(two));
  EXPECT_NE(one, two);
  EXPECT_GE(one.filename().native().size(), 32u);
}

}  // namespace
}  // namespace norva::installer
