#include <windows.h>
#include <winternl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>

#include "base/file_util.h"
#include "base/strings.h"
#include "support/folder_link.h"
#include "support/holder_process.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "system/access_rights.h"
#include "system/transactions/copy_file_operation.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/file_helpers.h"
#include "system/transactions/move_file_operation.h"
#include "system/transactions/move_into_place_operation.h"
#include "system/transactions/transaction.h"

namespace norva::installer {
namespace {

namespace fs = std::filesystem;
using test::ReadFile;
using test::WriteFile;

class FileOperationsTest : public testing::Test {
 protected:
  fs::path Path(const wchar_t* relative) const { return scratch_.path() / relative; }
  // The ".N.old" names beside `path`.
  int SetAsideCount(const fs::path& path) const {
    int count = 0;
    ForEachEntry(path.parent_path(), [&](const WIN32_FIND_DATAW& entry) {
      std::wstring name = entry.cFileName;
      if (name.rfind(path.filename().native() + L".", 0) == 0 && name.ends_with(L".old")) ++count;
    });
    return count;
  }

  test::ScratchFolder scratch_;
  test::LogCapture log_;
};

TEST_F(FileOperationsTest, CopyOverExistingFileSetsItAsideUntilCommit) {
  WriteFile(Path(L"source.txt"), "new");
  WriteFile(Path(L"target.txt"), "old");
  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back");
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(
        std::make_unique<CopyFileOperation>(Path(L"source.txt"), Path(L"target.txt"))));
    EXPECT_EQ(2u, transaction.size());
    EXPECT_EQ(1, SetAsideCount(Path(L"target.txt")));
    commit ? transaction.Commit() : transaction.Rollback();
    EXPECT_EQ(commit ? "new" : "old", ReadFile(Path(L"target.txt")));
    EXPECT_EQ(0, SetAsideCount(Path(L"target.txt")));
  }
}

TEST_F(FileOperationsTest, CopyClearsReadOnlyAndRefusesParentReferences) {
  WriteFile(Path(L"source.txt"), "x");
  SetFileAttributesW(Path(L"source.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(
      std::make_unique<CopyFileOperation>(Path(L"source.txt"), Path(L"copy.txt"))));
  EXPECT_FALSE(GetFileAttributesW(Path(L"source.txt").c_str()) & FILE_ATTRIBUTE_READONLY);
  EXPECT_FALSE(GetFileAttributesW(Path(L"copy.txt").c_str()) & FILE_ATTRIBUTE_READONLY);

  EXPECT_FALSE(transaction.Execute(
      std::make_unique<CopyFileOperation>(Path(L"sub\\..\\source.txt"), Path(L"other.txt"))));
  EXPECT_TRUE(log_.Contains("File copy failed"));
  EXPECT_FALSE(fs::exists(Path(L"other.txt")));
  EXPECT_EQ(1u, transaction.size());
}

// A package file moved into place goes back on rollback; where it cannot,
// it still leaves the installation.
TEST_F(FileOperationsTest, MoveIntoPlaceRolledBackReturnsTheFileOrRemovesIt) {
  for (bool package_gone : {false, true}) {
    SCOPED_TRACE(package_gone ? "package gone" : "package there");
    fs::remove_all(Path(L"package"));
    fs::remove_all(Path(L"install"));
    WriteFile(Path(L"package\\a.dll"), "new");
    WriteFile(Path(L"install\\a.dll"), "previous");
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(std::make_unique<MoveIntoPlaceOperation>(
        Path(L"package\\a.dll"), Path(L"install\\a.dll"))));
    EXPECT_FALSE(fs::exists(Path(L"package\\a.dll")));
    EXPECT_EQ("new", ReadFile(Path(L"install\\a.dll")));
    if (package_gone) fs::remove_all(Path(L"package"));
    transaction.Rollback();
    EXPECT_EQ(fs::exists(Path(L"package\\a.dll")), !package_gone);
    EXPECT_EQ("previous", ReadFile(Path(L"install\\a.dll")));
    EXPECT_EQ(SetAsideCount(Path(L"install\\a.dll")), 0);
  }
}

TEST_F(FileOperationsTest, CreateFolderUndoStopsAtAncestorAndAtFolderThatGainedAnEntry) {
  fs::create_directories(Path(L"a"));
  {
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(std::make_unique<CreateFolderOperation>(Path(L"a\\b\\c\\"))));
    WriteFile(Path(L"a\\b\\gained.txt"), "x");
    transaction.Rollback();
    EXPECT_FALSE(fs::exists(Path(L"a\\b\\c")));
    EXPECT_TRUE(fs::exists(Path(L"a\\b\\gained.txt")));
  }
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(std::make_unique<CreateFolderOperation>(Path(L"a\\b"))));
  fs::remove(Path(L"a\\b\\gained.txt"));
  transaction.Rollback();
  EXPECT_TRUE(fs::exists(Path(L"a\\b")));

  WriteFile(Path(L"file"), "x");
  EXPECT_FALSE(transaction.Execute(std::make_unique<CreateFolderOperation>(Path(L"file\\sub"))));
  EXPECT_TRUE(log_.Contains("Failed folder creation"));
}

TEST_F(FileOperationsTest, DeleteOfMissingFileSucceedsAndSameSecondDeleteMeetsItsTempName) {
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(
      std::make_unique<DeleteFileOperation>(Path(L"missing.txt"), false, false)));

  // Both deletions must fall in one second; retry when they straddle two.
  for (int attempt = 0; attempt < 5; ++attempt) {
    time_t start = std::time(nullptr);
    WriteFile(Path(L"twice.txt"), "first");
    ASSERT_TRUE(transaction.Execute(
        std::make_unique<DeleteFileOperation>(Path(L"twice.txt"), false, false)));
    WriteFile(Path(L"twice.txt"), "second");
    bool second = transaction.Execute(
        std::make_unique<DeleteFileOperation>(Path(L"twice.txt"), false, false));
    if (std::time(nullptr) != start) {
      transaction.Rollback();
      continue;
    }
    EXPECT_FALSE(second);
    EXPECT_TRUE(log_.Contains("Temporary file with name"));
    EXPECT_EQ("second", ReadFile(Path(L"twice.txt")));
    break;
  }
  transaction.Rollback();
  EXPECT_EQ(0, SetAsideCount(Path(L"twice.txt")));
}

TEST_F(FileOperationsTest, CommitRemovesEmptyParentsButRollbackLeavesThem) {
  // A transaction that is not rolled back commits as it ends.
  auto delete_log = [&](bool roll_back) {
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(
        std::make_unique<DeleteFileOperation>(Path(L"logs\\old\\one.xml"), true, true)));
    if (roll_back) transaction.Rollback();
  };
  fs::create_directories(Path(L"logs\\old"));
  delete_log(true);  // nothing to delete, and rolled back: the empty folder stays
  EXPECT_TRUE(fs::exists(Path(L"logs\\old")));
  WriteFile(Path(L"logs\\old\\one.xml"), "x");
  WriteFile(Path(L"keep.txt"), "x");
  delete_log(false);
  EXPECT_FALSE(fs::exists(Path(L"logs")));
  EXPECT_TRUE(fs::exists(Path(L"keep.txt")));  // the walk stops at a folder in use
}

// A folder far deeper than MAX_PATH, as a deep installation folder or profile
// can be. Windows 10 refuses such paths unless they are extended (Wine does
// not), and the system drops a trailing dot or blank from a name unless the
// path is extended, so one level ends in both: a call that missed the
// extended form would look for another folder and fail. The checks use
// extended forms of their own.
TEST_F(FileOperationsTest, DeepFolderWorksInEveryOperationAndRollsBack) {
  fs::path deep = scratch_.path();
  for (int level = 0; deep.native().size() < 300; ++level)
    deep /= L"level " + std::to_wstring(level) + L" of a deep folder";
  deep /= L"ends in a dot. ";
  ASSERT_GT(deep.native().size(), 300u);
  auto there = [](const fs::path& path) {
    return GetFileAttributesW((L"\\\\?\\" + path.native()).c_str()) != INVALID_FILE_ATTRIBUTES;
  };
  ASSERT_TRUE(CreateDirectories(deep));
  ASSERT_TRUE(there(deep));
  const fs::path source = deep / L"source (1) & 100%.txt";
  ASSERT_TRUE(WriteFileAtomically(source, "deep"));
  const fs::path copy = deep / L"new\\sub\\copy.txt";
  const fs::path moved = deep / L"moved.txt";

  for (bool commit : {false, true}) {
    SCOPED_TRACE(commit ? "committed" : "rolled back");
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(std::make_unique<CreateFolderOperation>(deep / L"made\\a")));
    ASSERT_TRUE(transaction.Execute(std::make_unique<CopyFileOperation>(source, copy)));
    std::string read;
    EXPECT_TRUE(ReadFileToString(copy, &read));
    EXPECT_EQ(read, "deep");
    ASSERT_TRUE(transaction.Execute(std::make_unique<MoveFileOperation>(copy, moved)));
    ASSERT_TRUE(transaction.Execute(std::make_unique<DeleteFileOperation>(source, true, false)));
    EXPECT_TRUE(there(deep / L"made\\a"));
    EXPECT_TRUE(there(moved));
    EXPECT_FALSE(there(copy));
    EXPECT_FALSE(there(source));
    commit ? transaction.Commit() : transaction.Rollback();
    EXPECT_EQ(there(source), !commit);
    EXPECT_EQ(there(moved), commit);
    EXPECT_EQ(SetAsideCount(source), 0);
    if (!commit) {
      EXPECT_FALSE(there(deep / L"made") || there(deep / L"new"));
    }
  }
  // A read-only file inside does not stop the recursive deletion.
  ASSERT_TRUE(SetFileAttributesW((L"\\\\?\\" + moved.native()).c_str(), FILE_ATTRIBUTE_READONLY));
  const fs::path top = scratch_.path() / L"level 0 of a deep folder";
  EXPECT_TRUE(DeleteTree(top));
  EXPECT_FALSE(there(top));
}

// The objects whose DACL RestorePermissions puts back while it lives: under
// Wine a file's restored DACL does not show in the file.
class RestoredDacls {
 public:
  RestoredDacls() {
    SetRestoreObserverForTesting([this](const std::wstring& name) { names.push_back(name); });
  }
  ~RestoredDacls() { SetRestoreObserverForTesting(nullptr); }
  std::vector<std::wstring> names;
};

// Nobody may write it, so the delete widens the current user's rights first.
void DenyWriting(const fs::path& path) {
  ASSERT_TRUE(test::SetFileSecurityText(path, L"D:P(D;;FW;;;WD)(A;;FA;;;WD)"));
}

TEST_F(FileOperationsTest, RolledBackDeleteGivesAWidenedFileItsDaclBack) {
  WriteFile(Path(L"locked.txt"), "x");
  DenyWriting(Path(L"locked.txt"));
  RestoredDacls restored;
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(
      std::make_unique<DeleteFileOperation>(Path(L"locked.txt"), false, false)));
  EXPECT_TRUE(restored.names.empty());
  transaction.Rollback();
  EXPECT_EQ("x", ReadFile(Path(L"locked.txt")));
  EXPECT_EQ(std::vector<std::wstring>{Path(L"locked.txt").native()}, restored.names);
}

class LoadedLibraryTest : public FileOperationsTest {
 protected:
  void SetUp() override {
    fs::copy_file(GetExecutablePath().parent_path() / L"system_test_library.dll",
                  Path(L"lib.dll"));
    library_ = LoadLibraryW(Path(L"lib.dll").c_str());
    ASSERT_NE(nullptr, library_);
  }
  void TearDown() override { FreeLibrary(library_); }
  HMODULE library_ = nullptr;
};

// Where nobody may write the library, the failed Do has widened its rights
// before it found it in use: they are put back.
TEST_F(LoadedLibraryTest, CheckInUseRefusesALoadedLibraryAndLeavesItInPlace) {
  for (bool widened : {false, true}) {
    SCOPED_TRACE(widened ? "rights widened" : "own rights");
    if (widened) DenyWriting(Path(L"lib.dll"));
    test::LogCapture log;
    RestoredDacls restored;
    Transaction transaction;
    EXPECT_FALSE(transaction.Execute(
        std::make_unique<DeleteFileOperation>(Path(L"lib.dll"), true, false)));
    EXPECT_TRUE(log.Contains("Attempt to open the file for writing failed"));
    EXPECT_TRUE(log.Contains("File removal failed"));
    EXPECT_TRUE(fs::exists(Path(L"lib.dll")));
    EXPECT_EQ(0, SetAsideCount(Path(L"lib.dll")));
    EXPECT_NE(nullptr, GetProcAddress(library_, "NorvaTestLibraryValue"));
    EXPECT_EQ(restored.names, widened ? std::vector<std::wstring>{Path(L"lib.dll").native()}
                                      : std::vector<std::wstring>{});
  }
}

TEST_F(LoadedLibraryTest, WithoutCheckInUseALoadedLibraryIsSetAsideAndRemovedAtCommit) {
  auto operation = std::make_unique<DeleteFileOperation>(Path(L"lib.dll"), false, false);
  DeleteFileOperation* raw = operation.get();
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(std::move(operation)));
  fs::path temp = raw->temp();
  EXPECT_FALSE(fs::exists(Path(L"lib.dll")));
  EXPECT_TRUE(fs::exists(temp));
  transaction.Commit();
  // Either removed now or registered for the next restart.
  EXPECT_TRUE(!fs::exists(temp) || log_.Contains("Actual removal of "));
}

// A scanner or an indexer that has a file open without sharing for a moment
// makes the steps wait for it instead of failing.
TEST_F(FileOperationsTest, StepsWaitForAFileHeldBrieflyByAnotherProgram) {
  using namespace file_helpers;
  const struct {
    const char* name;
    std::function<bool(const fs::path& held)> step;
    const char* left;  // what is at the held path afterwards; null: nothing
  } kCases[] = {
      {"copy onto it", [&](const fs::path& held) { return CopyOneFile(Path(L"new.txt"), held); },
       "new"},
      {"move onto it", [&](const fs::path& held) { return MovePath(Path(L"new.txt"), held); },
       "new"},
      {"rename it",
       [&](const fs::path& held) { return RenamePath(held, Path(L"renamed.txt"), 0); }, nullptr},
      {"delete it", [](const fs::path& held) { return DeleteOneFile(held); }, nullptr},
      {"delete its folder",
       [](const fs::path& held) { return DeleteRecursively(held.parent_path()); }, nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path held = Path(L"folder\\held.txt");
    WriteFile(held, "old");
    WriteFile(Path(L"new.txt"), "new");
    test::HolderProcess holder(L"file", held.native(), 2000);
    ASSERT_TRUE(holder.held());
    EXPECT_TRUE(c.step(held));
    if (c.left)
      EXPECT_EQ(ReadFile(held), c.left);
    else
      EXPECT_FALSE(fs::exists(held));
    EXPECT_TRUE(holder.WaitForEnd(30000));
    fs::remove_all(Path(L"folder"));
    fs::remove(Path(L"renamed.txt"));
  }
}

// The wait has an end, and only a held file is waited for.
TEST_F(FileOperationsTest, WaitingForAHeldFileIsBounded) {
  using namespace file_helpers;
  const fs::path held = Path(L"held.txt");
  WriteFile(held, "old");
  test::HolderProcess holder(L"file", held.native(), 60000);
  ASSERT_TRUE(holder.held());
  const struct {
    const char* name;
    std::function<bool()> step;
    DWORD error;
  } kCases[] = {
      {"held longer than the budget",
       [&] { return RetryOnSharing([&] { return DeleteFileW(held.c_str()) != FALSE; }, 600); },
       ERROR_SHARING_VIOLATION},
      {"missing", [&] { return DeleteOneFile(Path(L"missing.txt")); }, ERROR_FILE_NOT_FOUND},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(c.step());
    EXPECT_EQ(GetLastError(), c.error);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
  }
  EXPECT_TRUE(fs::exists(held));
}

// A folder whose last file was deleted while another program held it open
// (a scanner, with delete sharing) empties when that program lets go: its
// removal waits for that, as for a held file. A file still in it, or no
// folder at all, is no passing cause.
TEST_F(FileOperationsTest, AFolderEmptyingItselfIsWaitedFor) {
  using namespace file_helpers;
  const fs::path kept = Path(L"kept");
  WriteFile(kept / L"file.txt", "x");
  EXPECT_FALSE(RemoveEmptyFolder(FilePath(kept.native())));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
  EXPECT_TRUE(fs::exists(kept / L"file.txt"));
  EXPECT_FALSE(RemoveEmptyFolder(FilePath(Path(L"missing").native())));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  const struct {
    const char* name;
    bool (*remove)(const FilePath&);
  } kCases[] = {{"empty folder", RemoveEmptyFolder}, {"tree", DeleteRecursively}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path folder = Path(Utf8ToWide(c.name).c_str());
    WriteFile(folder / L"scanned.txt", "x");
    HANDLE scanner = CreateFileW((folder / L"scanned.txt").c_str(), GENERIC_READ,
                                 FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0,
                                 nullptr);
    ASSERT_NE(scanner, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(DeleteFileW((folder / L"scanned.txt").c_str()));
    HANDLE again = CreateFileW((folder / L"scanned.txt").c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (again != INVALID_HANDLE_VALUE) {  // Wine's files show no pending deletion
      CloseHandle(again);
      CloseHandle(scanner);
      GTEST_SKIP() << "this system opens a file pending deletion as any other";
    }
    HANDLE lets_go = CreateThread(
        nullptr, 0,
        [](void* held) -> DWORD {
          Sleep(300);
          return CloseHandle(held);
        },
        scanner, 0, nullptr);
    EXPECT_TRUE(c.remove(FilePath(folder.native())));
    EXPECT_FALSE(fs::exists(folder));
    WaitForSingleObject(lets_go, INFINITE);
    CloseHandle(lets_go);
  }
}

// Only a cause that passes is waited for: the failures are scripted as the
// system reports them, an error with the status beneath it.
TEST_F(FileOperationsTest, OnlyPassingCausesAreTriedAgain) {
  const struct {
    const char* name;
    LONG status;
    bool passing;
  } kCases[] = {
      {"sharing violation", static_cast<LONG>(0xC0000043), true},
      {"lock conflict", static_cast<LONG>(0xC0000054), true},
      {"deletion pending", static_cast<LONG>(0xC0000056), true},
      {"access denied", static_cast<LONG>(0xC0000022), false},
      {"cannot delete (read-only or mapped)", static_cast<LONG>(0xC0000121), false},
      {"name not found", static_cast<LONG>(0xC0000034), false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const DWORD error = RtlNtStatusToDosError(c.status);
    int attempts = 0;
    EXPECT_FALSE(file_helpers::RetryOnSharing(
        [&] {
          ++attempts;
          SetLastError(RtlNtStatusToDosError(c.status));
          return false;
        },
        300));
    EXPECT_EQ(GetLastError(), error);
    EXPECT_EQ(attempts > 1, c.passing) << attempts << " attempts";
  }
}

// The copy that stands in for a move that failed takes in nothing a link in
// the tree names, whether the link is the tree itself or lies inside it.
TEST_F(FileOperationsTest, ACopiedTreeTakesInNoLink) {
  const fs::path elsewhere = Path(L"elsewhere");
  WriteFile(elsewhere / L"secret.txt", "theirs");
  WriteFile(Path(L"tree\\a\\mine.txt"), "mine");
  const fs::path inner = Path(L"tree\\a\\link"), root = Path(L"root link");
  if (test::MakeFolderLink(inner, elsewhere) == test::FolderLinkKind::kNone ||
      test::MakeFolderLink(root, Path(L"tree")) == test::FolderLinkKind::kNone)
    GTEST_SKIP() << "This system makes no folder links";
  for (const fs::path& from : {Path(L"tree"), root}) {
    SCOPED_TRACE(from.filename().string());
    const fs::path to = Path(L"copy of ") += from.filename();
    EXPECT_FALSE(file_helpers::CopyTree(FilePath(from.native()), FilePath(to.native())));
    EXPECT_EQ(GetLastError(), 4395u);  // ERROR_REPARSE_POINT_ENCOUNTERED
    EXPECT_FALSE(fs::exists(to / L"a\\link\\secret.txt"));
    if (from == root) {
      EXPECT_FALSE(fs::exists(to));
    }
  }
  EXPECT_TRUE(test::RemoveUnixLinks({inner, root}));
}

// A file still held at the end names the program holding it.
TEST_F(FileOperationsTest, AHeldFileNamesItsHolder) {
  const fs::path held = Path(L"held.txt");
  WriteFile(held, "old");
  test::HolderProcess holder(L"file", held.native(), 60000);
  ASSERT_TRUE(holder.held());
  std::wstring holders = file_helpers::ProgramsHolding({held, Path(L"other.txt")});
  if (holders.empty()) GTEST_SKIP() << "this system's restart manager lists no holders";
  EXPECT_NE(holders.find(L"(" + std::to_wstring(holder.process_id()) + L")"), std::wstring::npos)
      << WideToUtf8(holders);
  EXPECT_EQ(file_helpers::ProgramsHolding({Path(L"other.txt")}), L"");
}

}  // namespace
}  // namespace norva::installer
