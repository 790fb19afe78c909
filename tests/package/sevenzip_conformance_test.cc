// Unpacks archives made by 7-Zip and compares the result with 7-Zip's own
// extraction of them: same files and folders, same bytes, same times.

#include <windows.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <mutex>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "package/lzma_util.h"
#include "package/sevenzip/archive.h"
#include "package/sevenzip/folder_decoder.h"
#include "package/sevenzip_test_archive.h"
#include "support/scratch.h"

namespace norva::installer::test {
namespace {

namespace fs = std::filesystem;

struct TreeItem {
  bool is_dir = false;
  uint64_t size = 0;
  uint64_t mtime = 0;
};

std::map<std::wstring, TreeItem> ListTree(const fs::path& root) {
  std::map<std::wstring, TreeItem> items;
  for (const auto& item : fs::recursive_directory_iterator(root)) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExW(item.path().c_str(), GetFileExInfoStandard, &data));
    items[fs::relative(item.path(), root).native()] = {
        item.is_directory(), uint64_t(data.nFileSizeHigh) << 32 | data.nFileSizeLow,
        uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32 | data.ftLastWriteTime.dwLowDateTime};
  }
  return items;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
  std::vector<char> ba(1 << 20), bb(1 << 20);
  while (fa && fb) {
    fa.read(ba.data(), ba.size());
    fb.read(bb.data(), bb.size());
    if (fa.gcount() != fb.gcount() || !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
      return false;
  }
  return fa.eof() && fb.eof();
}

// Without stored times 7-Zip dates files by the archive, we by the unpacking.
void ExpectSameTree(const fs::path& expected, const fs::path& actual, bool compare_times) {
  auto want = ListTree(expected), got = ListTree(actual);
  ASSERT_EQ(want.size(), got.size());
  for (const auto& [name, item] : want) {
    SCOPED_TRACE(fs::path(name).string());
    auto it = got.find(name);
    ASSERT_NE(it, got.end());
    ASSERT_EQ(item.is_dir, it->second.is_dir);
    if (item.is_dir) continue;
    EXPECT_EQ(item.size, it->second.size);
    if (compare_times) {
      EXPECT_EQ(item.mtime, it->second.mtime);
    }
    EXPECT_TRUE(SameContent(expected / name, actual / name));
  }
}

class RecordingProgress : public LzmaUtil::ProgressSink {
 public:
  void SetTotalProgress(int total) override { total_ = total; }
  void SetCurrentProgress(int current) override { current_.push_back(current); }
  int total_ = -1;
  std::vector<int> current_;
};

class SevenZipConformanceTest : public testing::TestWithParam<const char*> {};

TEST_P(SevenZipConformanceTest, UnpacksLikeSevenZip) {
  fs::path fixtures = SevenZipFixtures();
  ASSERT_FALSE(fixtures.empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  ScratchFolder scratch;
  LzmaUtil util;
  RecordingProgress progress;
  util.set_progress_sink(&progress);
  ASSERT_EQ(0u, util.OpenArchive(fixtures / "archives" / (std::string(GetParam()) + ".7z")));
  ASSERT_EQ(0u, util.UnPack(scratch.path() / "out"));
  util.CloseArchive();
  ExpectSameTree(fixtures / "ref" / GetParam(), scratch.path() / "out",
                 std::string(GetParam()) != "no_times");
  // One progress call per entry, in order.
  ASSERT_GT(progress.total_, 0);
  ASSERT_EQ(static_cast<size_t>(progress.total_), progress.current_.size());
  for (int i = 0; i < progress.total_; ++i) EXPECT_EQ(i, progress.current_[i]);
}

INSTANTIATE_TEST_SUITE_P(Methods, SevenZipConformanceTest,
                         testing::Values("copy", "lzma", "lzma2", "periods", "bcj_lzma", "bcj2",
                                         "bcj2_auto", "arm64", "delta", "lzma2_blocks", "lzma_eos",
                                         "bcj_lzma_eos", "lzma_eos_nonsolid"));
INSTANTIATE_TEST_SUITE_P(Layouts, SevenZipConformanceTest,
                         testing::Values("nonsolid", "plain_header", "no_times", "small",
                                         "small_plain", "many"));
// 300 MiB in one solid block: run once, here.
INSTANTIATE_TEST_SUITE_P(Large, SevenZipConformanceTest, testing::Values("big"));

// An installation folder or profile deeper than MAX_PATH, with a level whose
// trailing dot and blank only the extended form of a path keeps. The
// standard library cannot walk such a folder, so each file of the reference
// tree is looked up by its extended path.
TEST(SevenZipLayoutTest, UnpacksIntoAFolderDeeperThanMaxPath) {
  fs::path fixtures = SevenZipFixtures();
  ASSERT_FALSE(fixtures.empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  ScratchFolder scratch;
  fs::path deep = scratch.path();
  while (deep.native().size() < 300) deep /= L"a level of a deep folder";
  deep /= L"ends in a dot. ";
  LzmaUtil util;
  ASSERT_EQ(0u, util.OpenArchive(fixtures / "archives" / "nonsolid.7z"));
  ASSERT_EQ(0u, util.UnPack(deep));
  util.CloseArchive();
  const fs::path reference = fixtures / "ref" / "nonsolid";
  auto items = ListTree(reference);
  ASSERT_FALSE(items.empty());
  for (const auto& [name, item] : items) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW((L"\\\\?\\" + (deep / name).native()).c_str(),
                                     GetFileExInfoStandard, &data))
        << fs::path(name).string();
    EXPECT_EQ(item.is_dir, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    if (item.is_dir) continue;
    std::string want, got;
    ASSERT_TRUE(ReadFileToString(reference / name, &want));
    ASSERT_TRUE(ReadFileToString(deep / name, &got));
    EXPECT_TRUE(want == got) << fs::path(name).string();
  }
  EXPECT_TRUE(DeleteTree(scratch.path() / L"a level of a deep folder"));
}

TEST(SevenZipLayoutTest, EmptyArchiveSucceedsWithZeroEntries) {
  ScratchFolder scratch;
  WriteFile(scratch.path() / "empty.7z", SevenZipWithHeader("", ""));
  LzmaUtil util;
  RecordingProgress progress;
  util.set_progress_sink(&progress);
  ASSERT_EQ(0u, util.OpenArchive(scratch.path() / "empty.7z"));
  EXPECT_EQ(0u, util.UnPack(scratch.path() / "out"));
  EXPECT_EQ(0, progress.total_);
  EXPECT_TRUE(progress.current_.empty());
}

TEST(SevenZipLayoutTest, FolderListedAfterItsFilesAndMissingTimes) {
  ScratchFolder scratch;
  SevenZipTestEntry file{u"A/f.txt", "inside"};
  SevenZipTestEntry dir{u"A", "", true};
  SevenZipTestEntry undated{u"A/undated.txt", "no time"};
  undated.has_mtime = false;
  SevenZipTestEntry empty{u"A/B/empty.txt", ""};
  WriteFile(scratch.path() / "a.7z", MakeSevenZip({file, undated, empty, dir}));
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  LzmaUtil util;
  ASSERT_EQ(0u, util.OpenArchive(scratch.path() / "a.7z"));
  ASSERT_EQ(0u, util.UnPack(scratch.path() / "out"));
  fs::path out = scratch.path() / "out";
  EXPECT_EQ("inside", ReadFile(out / "A" / "f.txt"));
  EXPECT_EQ("no time", ReadFile(out / "A" / "undated.txt"));
  EXPECT_EQ("", ReadFile(out / "A" / "B" / "empty.txt"));
  auto tree = ListTree(out);
  EXPECT_EQ(file.mtime, tree[L"A\\f.txt"].mtime);
  // Without a stored time the file keeps the time it was written at.
  uint64_t now_value = uint64_t(now.dwHighDateTime) << 32 | now.dwLowDateTime;
  EXPECT_GE(tree[L"A\\undated.txt"].mtime + 20000000, now_value);
}

TEST(SevenZipLayoutTest, ReplacesExistingFilesAndReportsCreateAndWriteFailures) {
  ScratchFolder scratch;
  WriteFile(scratch.path() / "a.7z", MakeSevenZip({{u"x/f.txt", "new"}}));
  fs::create_directories(scratch.path() / "out" / "x");
  WriteFile(scratch.path() / "out" / "x" / "f.txt", "old and longer");
  LzmaUtil util;
  ASSERT_EQ(0u, util.OpenArchive(scratch.path() / "a.7z"));
  ASSERT_EQ(0u, util.UnPack(scratch.path() / "out"));
  EXPECT_EQ("new", ReadFile(scratch.path() / "out" / "x" / "f.txt"));

  // A file where the entry's folder should be: the folder cannot be made,
  // and creating the file inside it fails with the system's code.
  WriteFile(scratch.path() / "blocked" / "x", "a file");
  LogCapture log;
  DWORD result = util.UnPack(scratch.path() / "blocked");
  EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), result);
  EXPECT_TRUE(log.Contains("Error returned by CreateFile: 3"));

  // The disk fills up in the middle of the second file: everything this
  // unpacking wrote goes, the folder it made included.
  WriteFile(scratch.path() / "b.7z", MakeSevenZip({{u"f.txt", "first"}, {u"g.txt", "second"}}));
  ASSERT_EQ(0u, util.OpenArchive(scratch.path() / "b.7z"));
  SetWriteLimitForTesting(8);
  result = util.UnPack(scratch.path() / "full");
  SetWriteLimitForTesting(std::nullopt);
  EXPECT_EQ(static_cast<DWORD>(ERROR_DISK_FULL), result);
  EXPECT_TRUE(log.Contains("Error returned by WriteFile: 112"));
  EXPECT_FALSE(fs::exists(scratch.path() / "full"));
}

// Archives of several solid blocks, made by the package builder: one thread
// decoding the blocks one after the other and four side by side both give
// 7-Zip's own result.
struct BlocksCase {
  const char* archive;
  size_t blocks;
};

class SevenZipBlocksTest : public testing::TestWithParam<BlocksCase> {};

TEST_P(SevenZipBlocksTest, SequentialAndParallelMatchSevenZip) {
  fs::path fixtures = SevenZipFixtures();
  ASSERT_FALSE(fixtures.empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  for (int threads : {1, 4}) {
    ScratchFolder scratch;
    LzmaUtil util;
    util.set_max_threads(threads);
    ASSERT_EQ(0u, util.OpenArchive(fixtures / "archives" / (std::string(GetParam().archive) + ".7z")));
    ASSERT_EQ(0u, util.UnPack(scratch.path() / "out"));
    EXPECT_EQ(GetParam().blocks, util.last_stats().blocks);
    EXPECT_EQ(std::min<size_t>(threads, GetParam().blocks), size_t(util.last_stats().threads));
    ExpectSameTree(fixtures / "ref" / GetParam().archive, scratch.path() / "out", true);
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, SevenZipBlocksTest,
                         testing::Values(BlocksCase{"blocks1", 1}, BlocksCase{"blocks2", 2},
                                         BlocksCase{"blocks_many", 6}));

// Cancels the unpacking as entry `cancel_at` begins (-1: before the first).
class CancellingProgress : public LzmaUtil::ProgressSink {
 public:
  CancellingProgress(LzmaUtil* util, int cancel_at) : util_(util), cancel_at_(cancel_at) {}
  void SetTotalProgress(int) override {
    if (cancel_at_ == -1) util_->Cancel();
  }
  void SetCurrentProgress(int current) override {
    if (current == cancel_at_) util_->Cancel();
  }

 private:
  LzmaUtil* util_;
  int cancel_at_;
};

// Unpacks "blocks16" (sixteen blocks, each with a 4 MiB dictionary it fills)
// on `threads` threads within `budget`, compares the result with 7-Zip's own
// and gives the unpacking's figures.
LzmaUtil::Stats UnpackBlocks16(int threads, uint64_t budget = LzmaUtil::kDefaultMemoryBudget) {
  const fs::path fixtures = SevenZipFixtures();
  ScratchFolder scratch;
  LzmaUtil util;
  util.set_max_threads(threads);
  util.set_memory_budget(budget);
  EXPECT_EQ(0u, util.OpenArchive(fixtures / "archives" / "blocks16.7z"));
  sevenzip::ResetDecoderMemoryPeak();
  EXPECT_EQ(0u, util.UnPack(scratch.path() / "out"));
  ExpectSameTree(fixtures / "ref" / "blocks16", scratch.path() / "out", true);
  return util.last_stats();
}

// Sixteen blocks on sixteen threads: only the blocks the budget holds run at
// once, and the dictionaries really allocated stay within it, where all
// sixteen would take 64 MiB.
TEST(SevenZipBlocksLimitsTest, MemoryStaysWithinTheBudget) {
  ASSERT_FALSE(SevenZipFixtures().empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  constexpr uint64_t kBudget = 16 << 20;
  const LzmaUtil::Stats stats = UnpackBlocks16(16, kBudget);
  EXPECT_EQ(16u, stats.blocks);
  EXPECT_EQ(16, stats.threads);
  EXPECT_LE(stats.peak_memory, kBudget);
  EXPECT_GT(stats.peak_memory, 8u << 20);  // two blocks did run side by side
  EXPECT_LE(sevenzip::DecoderMemoryPeak(), kBudget);
}

// Dictionaries are made resident up to the budget the unpacking is given,
// not up to the default one: a block that runs beyond its budget takes its
// pages as it writes them.
TEST(SevenZipBlocksLimitsTest, OnlyDictionariesWithinTheBudgetAreMadeResident) {
  ASSERT_FALSE(SevenZipFixtures().empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  const struct {
    uint64_t budget;
    bool resident;  // the blocks' 4 MiB dictionaries
  } kCases[] = {{LzmaUtil::kDefaultMemoryBudget, true}, {6 << 20, true}, {2 << 20, false}};
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.budget);
    std::mutex lock;
    std::vector<size_t> resident;
    SetResidentDictionaryObserverForTesting([&](size_t size) {
      std::lock_guard<std::mutex> hold(lock);
      resident.push_back(size);
    });
    UnpackBlocks16(2, c.budget);
    SetResidentDictionaryObserverForTesting(nullptr);
    EXPECT_EQ(!resident.empty(), c.resident);
    for (size_t size : resident) EXPECT_LE(size, c.budget);
  }
}

// One worker decodes the sixteen blocks through one dictionary, each block's
// kept for the next: fresh dictionaries would allocate 64 MiB.
TEST(SevenZipBlocksLimitsTest, OneWorkerKeepsItsDictionaryForTheNextBlock) {
  ASSERT_FALSE(SevenZipFixtures().empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  UnpackBlocks16(1);
  EXPECT_LT(sevenzip::DecoderMemoryAllocated(), 6u << 20);
  EXPECT_LT(sevenzip::DecoderMemoryPeak(), 6u << 20);
}

// A block in the middle of the archive is damaged: the blocks decoding beside
// it stop, and nothing of the unpacking is left. Cancelling while several
// blocks are in flight, or before any starts, ends the same way.
TEST(SevenZipBlocksLimitsTest, DamageOrCancelStopsEveryBlockAndLeavesNothing) {
  fs::path fixtures = SevenZipFixtures();
  ASSERT_FALSE(fixtures.empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  ScratchFolder scratch;
  std::string bytes = ReadFile(fixtures / "archives" / "blocks_many.7z");
  sevenzip::MemoryInStream in(bytes.data(), bytes.size());
  sevenzip::Archive archive;
  ASSERT_EQ(sevenzip::Result::kOk, archive.Open(&in));
  ASSERT_EQ(6u, archive.folders().size());
  uint32_t pack = archive.folders()[2].first_pack_stream;
  uint64_t middle = archive.pack_offsets()[pack] + archive.pack_sizes()[pack] / 2;
  for (uint64_t i = middle; i < middle + 16; ++i) bytes[i] ^= 0x5A;
  WriteFile(scratch.path() / "damaged.7z", bytes);

  struct Case {
    fs::path archive;
    int cancel_at;
    DWORD result;
  };
  for (const Case& c : {Case{scratch.path() / "damaged.7z", -2, ERROR_INVALID_HANDLE},
                        Case{fixtures / "archives" / "blocks16.7z", 3, ERROR_CANCELLED},
                        Case{fixtures / "archives" / "blocks16.7z", -1, ERROR_CANCELLED}}) {
    LzmaUtil util;
    CancellingProgress progress(&util, c.cancel_at);
    util.set_progress_sink(&progress);
    util.set_max_threads(4);
    ASSERT_EQ(0u, util.OpenArchive(c.archive));
    EXPECT_EQ(c.result, util.UnPack(scratch.path() / "out")) << c.archive;
    if (c.cancel_at != -1) {
      EXPECT_EQ(4, util.last_stats().threads) << c.archive;
    }
    EXPECT_FALSE(fs::exists(scratch.path() / "out")) << c.archive;
  }
}

TEST(SevenZipLayoutTest, UnPackWithoutOpenArchiveIsInvalidHandle) {
  ScratchFolder scratch;
  LzmaUtil util;
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), util.UnPack(scratch.path()));
  EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), util.OpenArchive(scratch.path() / "none.7z"));
  EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), util.UnPack(scratch.path()));
}

}  // namespace
}  // namespace norva::installer::test
