#include "base/file_util.h"

#include <gtest/gtest.h>
#include <knownfolders.h>

#include "base/strings.h"
#include "support/folder_link.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using test::ReadFile;
using test::ScratchFolder;
using test::WriteFile;

size_t CountEntries(const std::filesystem::path& folder) {
  size_t count = 0;
  std::error_code error;
  for (auto it = std::filesystem::directory_iterator(folder, error);
       it != std::filesystem::directory_iterator(); it.increment(error)) {
    ++count;
  }
  return count;
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
      // Left as they are: already extended, devices, incomplete UNC, relative.
      {L"\\\\?\\C:\\a\\..\\b", L"\\\\?\\C:\\a\\..\\b"},
      {L"\\\\?\\UNC\\server\\share\\x", L"\\\\?\\UNC\\server\\share\\x"},
      {L"\\\\.\\pipe\\name", L"\\\\.\\pipe\\name"},
      {L"\\\\server", L"\\\\server"},
      {L"\\\\server\\", L"\\\\server\\"},
      {L"relative\\..\\path", L"relative\\..\\path"},
      {L"C:relative", L"C:relative"},
      {L"\\rooted\\x", L"\\rooted\\x"},
      {L"", L""},
  };
  for (const Case& c : cases)
    EXPECT_EQ(ExtendedLengthPath(c.path), c.expected) << WideToUtf8(c.path);
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
  const struct {
    const wchar_t* path;
    bool safe;
  } cases[] = {
      {L"norva.exe", true},
      {L"resources\\locales\\en-US.pak", true},
      {L"resources/locales/de.pak", true},
      {L"a..b\\c", true},
      {L"..a", true},
      {L"a..", true},
      {L".hidden\\x", true},
      {L"x & (1) 100% !\\d\u00e9j\u00e0\\\u65e5\u672c.txt", true},
      // Leave the folder, or say nothing.
      {L"", false},
      {L"..", false},
      {L"..\\x", false},
      {L"../x", false},
      {L"a\\..\\..\\b", false},
      {L"a/../b", false},
      {L"a\\..", false},
      {L"a/..", false},
      {L".", false},
      {L".\\a", false},
      {L"a\\.\\b", false},
      {L"a\\", false},
      // Roots, drives and streams.
      {L"\\x", false},
      {L"/x", false},
      {L"C:\\x", false},
      {L"C:x", false},
      {L"\\\\server\\share\\x", false},
      {L"\\\\?\\C:\\x", false},
      {L"file.txt:stream", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsSafeRelativePath(c.path), c.safe) << WideToUtf8(c.path);
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

}  // namespace
}  // namespace norva::installer
