#include "package/package_lock.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "base/strings.h"
#include "base/task_loop.h"
#include "package/checksum_checker.h"
#include "package/package_fetcher.h"
#include "package/lzma_util.h"
#include "package/package_query.h"
#include "package/package_run_files.h"
#include "package/package_test_files.h"
#include "package/payload_reader.h"
#include "stats/stats_collector.h"
#include "support/folder_link.h"
#include "support/holder_process.h"
#include "support/test_ui_runner.h"

namespace norva::installer {
namespace {

bool OpenAndClose(const std::filesystem::path& path, DWORD access) {
  HANDLE file = CreateFileW(path.c_str(), access,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

// The fetcher's sequence on a held package: every check, the queries (which
// run it) and the unpacking of its payload still work, while no other handle
// can change what they see.
TEST(PackageLockTest, HeldPackageIsCheckedAndUnpackedButCannotBeChanged) {
  test::ScratchFolder scratch;
  std::filesystem::path package = scratch.path() / L"package.exe";
  std::filesystem::path elsewhere = scratch.path() / L"elsewhere.exe";
  std::filesystem::copy_file(test::FixtureFile("built_package.exe"), package);
  test::WriteFile(scratch.path() / L"other.exe", "another package");
  std::string digest = ChecksumChecker::ComputeSha256(package);
  PackageLock lock;
  ASSERT_TRUE(lock.Acquire(package));

  EXPECT_TRUE(ChecksumChecker::VerifyChecksum(package, digest));
  EXPECT_TRUE(VerifyPackageSigner(package));
  EXPECT_EQ(QueryPackage(package, "internal-version"), "2163.0");
  {
    PayloadReader payload(package);
    ASSERT_TRUE(payload.ReadPayload());
    LzmaUtil unpacker;
    ASSERT_EQ(unpacker.OpenArchive(package, payload.payload_start(), payload.payload_length()), 0u);
    EXPECT_EQ(unpacker.UnPack(scratch.path() / L"unpacked"), 0u);
  }
  EXPECT_TRUE(std::filesystem::exists(scratch.path() / L"unpacked" / L"installer.exe"));

  // Only the lock has the package open now.

  struct Intruder {
    const char* name;
    std::function<bool()> attempt;
  } intruders[] = {
      {"open for writing", [&] { return OpenAndClose(package, GENERIC_WRITE); }},
      {"open for deleting", [&] { return OpenAndClose(package, DELETE); }},
      {"rename", [&] { return MoveFileW(package.c_str(), elsewhere.c_str()) != 0; }},
      {"replace",
       [&] {
         return MoveFileExW((scratch.path() / L"other.exe").c_str(), package.c_str(),
                            MOVEFILE_REPLACE_EXISTING) != 0;
       }},
      {"delete", [&] { return DeleteFileW(package.c_str()) != 0; }},
  };
  for (const auto& intruder : intruders) EXPECT_FALSE(intruder.attempt()) << intruder.name;
  EXPECT_EQ(ChecksumChecker::ComputeSha256(package), digest);

  lock.Release();
  EXPECT_TRUE(intruders[2].attempt()) << "renaming after the release";
  // A file someone still writes to cannot be held.
  HANDLE writer = CreateFileW(elsewhere.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(writer, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(lock.Acquire(elsewhere));
  CloseHandle(writer);
  EXPECT_TRUE(lock.Acquire(elsewhere));
}

namespace fs = std::filesystem;

// What a run of the fetcher keeps in the download folder under `stem`: the
// downloaded package, its archive and the unpacked package.
void MakeRunFiles(const fs::path& folder, const std::wstring& stem) {
  test::WriteFile(folder / (stem + L".exe"), "package");
  test::WriteFile(folder / (stem + L".7z"), "archive");
  test::WriteFile(folder / stem / L"installer.exe", "MZ");
  test::WriteFile(folder / stem / L"resources" / L"files_list", "x");
}

// Makes a fetcher in `folder` and lets it go again: its worker has done
// everything it does at its start by then.
void StartAndEndAFetcher(const fs::path& folder) {
  TaskLoop loop;
  StatsCollector stats(false);
  test::ScriptedUIRunner ui;
  PackageFetcher fetcher(FilePath(folder), stats.root(), &ui, nullptr,
                         CommandLine::FromString(L"installer.exe"));
}

// A new fetcher removes what runs whose owner has died left behind, and
// nothing else: not the files of a run that is still alive, not runs that
// never held a lock (age proves nothing), not files that are not a run's.
// A dead run whose files cannot all go yet keeps its lock for the next one.
TEST(PackageFetcherSweepTest, RemovesOnlyTheFilesOfRunsWhoseOwnerDied) {
  test::ScratchFolder scratch;
  const fs::path folder = scratch.path();
  enum Owner { kAlive, kKilled, kEnded, kNoLock, kKilledWithAFileHeld };
  const struct {
    const wchar_t* stem;
    Owner owner;
    bool removed;
  } kRuns[] = {
      {L"norva_installer_20240101101010", kAlive, false},
      {L"norva_installer_20240101101011", kKilled, true},
      {L"norva_installer_20240101101012", kEnded, true},
      {L"norva_installer_20240101101013", kNoLock, false},
      {L"norva_installer_20240101101014", kKilledWithAFileHeld, false},
  };
  const fs::path held = folder / kRuns[4].stem / L"resources" / L"files_list";
  std::vector<std::unique_ptr<test::HolderProcess>> owners;
  for (const auto& run : kRuns) {
    MakeRunFiles(folder, run.stem);
    if (run.owner == kNoLock) continue;
    owners.push_back(std::make_unique<test::HolderProcess>(
        L"owner", (folder / (std::wstring(run.stem) + L".lock")).native(),
        run.owner == kEnded ? 0 : 120000));
    ASSERT_TRUE(owners.back()->held());
    if (run.owner == kKilled || run.owner == kKilledWithAFileHeld) owners.back()->Kill();
    if (run.owner == kEnded) {
      ASSERT_TRUE(owners.back()->WaitForEnd(30000));
    }
  }
  test::WriteFile(folder / L"notes.txt", "mine");
  test::WriteFile(folder / L"other_20240101101011" / L"kept.txt", "mine");
  auto holder = std::make_unique<test::HolderProcess>(L"file", held.native(), 120000);
  ASSERT_TRUE(holder->held());

  StartAndEndAFetcher(folder);

  for (const auto& run : kRuns) {
    SCOPED_TRACE(WideToUtf8(run.stem));
    const std::wstring stem = run.stem;
    if (run.owner != kKilledWithAFileHeld) {
      for (const std::wstring& name : {stem, stem + L".exe", stem + L".7z"})
        EXPECT_EQ(fs::exists(folder / name), !run.removed) << WideToUtf8(name);
    }
    EXPECT_EQ(fs::exists(folder / (stem + L".lock")),
              run.owner == kAlive || run.owner == kKilledWithAFileHeld);
  }
  // Once the file is free, the next start finishes the sweep.
  holder.reset();
  StartAndEndAFetcher(folder);
  for (const wchar_t* extension : {L"", L".exe", L".7z", L".lock"})
    EXPECT_FALSE(fs::exists(folder / (std::wstring(kRuns[4].stem) + extension))) << extension;
  EXPECT_TRUE(fs::exists(folder / L"notes.txt"));
  EXPECT_TRUE(fs::exists(folder / L"other_20240101101011" / L"kept.txt"));
  // The fetcher took its own files with it, its lock included.
  size_t locks = 0;
  for (const auto& entry : fs::directory_iterator(folder))
    locks += entry.path().extension() == L".lock";
  EXPECT_EQ(locks, 1u);
}

// Fetchers started in the same second keep their files apart (one's end
// would otherwise take the other's package), and the sweep still knows
// their names for a run's.
TEST(PackageFetcherSweepTest, FetchersStartedTogetherKeepTheirFilesApart) {
  test::ScratchFolder scratch;
  const fs::path folder = scratch.path();
  // Made in a row: at most one second boundary falls between three names.
  std::vector<std::wstring> stems;
  for (int i = 0; i < 3; ++i) {
    const fs::path package = NewPackagePathIn(FilePath(folder));
    EXPECT_EQ(package.extension(), L".exe");
    stems.push_back(package.stem().native());
    EXPECT_TRUE(stems.back().starts_with(L"norva_installer_")) << WideToUtf8(stems.back());
  }
  EXPECT_EQ(std::set<std::wstring>(stems.begin(), stems.end()).size(), 3u);

  {
    TaskLoop loop;
    StatsCollector stats(false);
    test::ScriptedUIRunner ui;
    const CommandLine command_line = CommandLine::FromString(L"installer.exe");
    PackageFetcher first(FilePath(folder), stats.root(), &ui, nullptr, command_line);
    const fs::path unpacked = fs::path(first.extraction_folder()) / L"installer.exe";
    test::WriteFile(unpacked, "MZ");
    {
      PackageFetcher second(FilePath(folder), stats.root(), &ui, nullptr, command_line);
      EXPECT_NE(fs::path(second.package_path()), fs::path(first.package_path()));
    }
    EXPECT_TRUE(fs::exists(unpacked));
  }

  // A dead run so named is swept.
  MakeRunFiles(folder, stems[0]);
  {
    test::HolderProcess owner(L"owner", (folder / (stems[0] + L".lock")).native(), 120000);
    ASSERT_TRUE(owner.held());
    owner.Kill();
  }
  StartAndEndAFetcher(folder);
  for (const wchar_t* extension : {L"", L".exe", L".7z", L".lock"})
    EXPECT_FALSE(fs::exists(folder / (stems[0] + extension))) << WideToUtf8(extension);
}

// The sweep removes a junction in a dead run's folder, never what it points to.
TEST(PackageFetcherSweepTest, JunctionInADeadRunIsNotFollowed) {
  test::ScratchFolder scratch;
  const fs::path folder = scratch.path() / L"downloads";
  const fs::path outside = scratch.path() / L"outside";
  const std::wstring stem = L"norva_installer_20240101101011";
  MakeRunFiles(folder, stem);
  test::WriteFile(outside / L"precious.txt", "keep");
  if (!test::MakeJunction(folder / stem / L"link", outside))
    GTEST_SKIP() << "this file system makes no junctions (Wine 8 does not)";
  {
    test::HolderProcess owner(L"owner", (folder / (stem + L".lock")).native(), 120000);
    ASSERT_TRUE(owner.held());
    owner.Kill();
  }
  StartAndEndAFetcher(folder);
  EXPECT_FALSE(fs::exists(folder / stem));
  EXPECT_EQ(test::ReadFile(outside / L"precious.txt"), "keep");
}

}  // namespace
}  // namespace norva::installer
