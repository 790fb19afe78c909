// Damaged and hostile archives: each is refused with its code and log line,
// and nothing lands outside the extraction folder or with wrong content.

#include <windows.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "package/lzma_util.h"
#include "package/sevenzip/archive.h"
#include "package/sevenzip/entry_name.h"
#include "package/sevenzip/extractor.h"
#include "package/sevenzip_test_archive.h"
#include "support/scratch.h"

namespace norva::installer::test {
namespace {

namespace fs = std::filesystem;

struct Outcome {
  DWORD result = 0;
  std::vector<std::string> log;
  bool Logged(const std::string& text) const {
    return std::any_of(log.begin(), log.end(),
                       [&](const std::string& line) { return line.find(text) != line.npos; });
  }
};

Outcome Unpack(const fs::path& archive, const fs::path& folder) {
  LogCapture capture;
  LzmaUtil util;
  Outcome outcome;
  outcome.result = util.OpenArchive(archive);
  if (outcome.result == 0) outcome.result = util.UnPack(folder);
  outcome.log = capture.Lines();
  return outcome;
}

size_t CountFiles(const fs::path& root) {
  std::error_code error;
  if (!fs::exists(root, error)) return 0;
  size_t count = 0;
  for (const auto& item : fs::recursive_directory_iterator(root)) count += item.is_regular_file();
  return count;
}

std::string Fixture(const char* name) {
  fs::path fixtures = SevenZipFixtures();
  EXPECT_FALSE(fixtures.empty()) << "NORVA_SEVENZIP_FIXTURES is not set";
  return ReadFile(fixtures / "archives" / name);
}

TEST(SevenZipHostileTest, TruncationAtEveryOffsetIsRefusedBeforeWriting) {
  ScratchFolder scratch;
  std::string archive = Fixture("small.7z");
  ASSERT_GT(archive.size(), 100u);
  for (size_t length = 0; length < archive.size(); ++length) {
    fs::path file = scratch.path() / "cut.7z", out = scratch.path() / ("out" + std::to_string(length));
    WriteFile(file, archive.substr(0, length));
    Outcome outcome = Unpack(file, out);
    ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), outcome.result) << length;
    ASSERT_TRUE(outcome.Logged("Error returned by SzArchiveOpen: ")) << length;
    ASSERT_EQ(0u, CountFiles(out)) << length;
  }
}

TEST(SevenZipHostileTest, FlippedBytesNeverLeaveWrongContent) {
  ScratchFolder scratch;
  for (const char* name : {"small.7z", "small_plain.7z", "small_eos.7z"}) {
    std::string archive = Fixture(name);
    LzmaUtil util;
    ASSERT_EQ(0u, util.OpenArchive(SevenZipFixtures() / "archives" / name));
    ASSERT_EQ(0u, util.UnPack(scratch.path() / "good"));
    util.CloseArchive();
    for (size_t at = 0; at < archive.size(); ++at) {
      if (at == 7) continue;  // the minor format version is not checked by anyone
      std::string bad = archive;
      bad[at] = static_cast<char>(bad[at] ^ 0x01);
      fs::path file = scratch.path() / "bad.7z", out = scratch.path() / "bad" / std::to_string(at);
      WriteFile(file, bad);
      Outcome outcome = Unpack(file, out);
      ASSERT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), outcome.result) << name << " " << at;
      ASSERT_TRUE(outcome.Logged("Error returned by SzArchiveOpen: ") ||
                  outcome.Logged("Error returned by SzExtract: "))
          << name << " " << at;
      // Whatever was written before the failure is right.
      if (!fs::exists(out)) continue;
      for (const auto& item : fs::recursive_directory_iterator(out)) {
        if (!item.is_regular_file()) continue;
        fs::path good = scratch.path() / "good" / fs::relative(item.path(), out);
        ASSERT_EQ(ReadFile(good), ReadFile(item.path())) << name << " " << at;
      }
    }
  }
}

TEST(SevenZipHostileTest, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  ScratchFolder scratch;
  const std::u16string names[] = {u"../evil.txt",  u"a/../../evil.txt", u"..\\evil.txt",
                                  u"/evil.txt",    u"\\evil.txt",       u"C:\\evil.txt",
                                  u"C:evil.txt",   u"f.txt:stream",     u"a//b.txt",
                                  u"a/./b.txt",    u"NUL",              u"sub/con.txt",
                                  u"COM1.log",     u"...",              u"a/ ../b",
                                  u"lpt\u00B9",    u"d/COM\u00B3.txt"};
  int index = 0;
  for (const auto& name : names) {
    fs::path base = scratch.path() / std::to_string(index++);
    fs::path file = base / "a.7z", out = base / "x" / "out";
    WriteFile(file, MakeSevenZip({{u"good.txt", "good"}, {name, "evil"}}));
    Outcome outcome = Unpack(file, out);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), outcome.result);
    EXPECT_TRUE(outcome.Logged("Refusing unsafe entry name: "));
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(base / "evil.txt"));
    EXPECT_FALSE(fs::exists(base / "x" / "evil.txt"));
  }
  // Ordinary names with dots stay allowed.
  for (const char16_t* name : {u"a..b/c.txt", u".hidden", u"dir/x.tar.gz", u"Console.txt"})
    EXPECT_TRUE(sevenzip::IsSafeEntryName(name));
}

// Nameless, anti and unsupported entries, and sizes declared beyond the data.
TEST(SevenZipHostileTest, BadEntriesAndOversizedDeclarationsAreRefusedWithoutAllocating) {
  ScratchFolder scratch;
  const std::vector<SevenZipTestEntry> one = {{u"a.txt", "a"}};
  const std::vector<SevenZipTestEntry> entries = {{u"a.txt", std::string(100, 'a')}};
  const std::vector<uint8_t> lzma = {0x03, 0x01, 0x01};
  struct Case {
    std::string archive;
    const char* log;
    DWORD result = ERROR_INVALID_HANDLE;
  } cases[] = {
      {MakeSevenZip(one, {.names = false}), "Couldn't get file name"},
      {MakeSevenZip({{u"a.txt", "a"}, {.name = u"gone.txt", .anti = true}}),
       "Error returned by SzArchiveOpen: 19"},
      {MakeSevenZip(one, {.method_id = {0x06, 0xF1, 0x07, 0x01}}),
       "Error returned by SzArchiveOpen: 4 (unsupported compression method: method 6F10701 (AES))"},
      {MakeSevenZip(one, {.method_id = {0x7F, 0x01}}), "Error returned by SzArchiveOpen: 4"},
      {Fixture("ppmd.7z"), "(PPMd)"},
      // LZMA, dictionary 4 GiB - 1, declared output 2 GiB (beyond the
      // dictionary limit, within any test machine's free space).
      {MakeSevenZip(entries, {lzma, {0x5D, 0xFF, 0xFF, 0xFF, 0xFF}, 2ull << 30}),
       "Error returned by SzExtract: 18"},
      // LZMA2 with its largest dictionary.
      {MakeSevenZip(entries, {{0x21}, {40}, 2ull << 30}), "Error returned by SzExtract: 18"},
      // A packed stream longer than the file; stored data larger than its
      // packed stream.
      {MakeSevenZip(entries, {.pack_size = 1ull << 40}), "Error returned by SzArchiveOpen: 16"},
      {MakeSevenZip(entries, {.unpack_size = 1ull << 40}), "Error returned by SzArchiveOpen: 16"},
      // A valid dictionary but a declared size the data cannot fill.
      {MakeSevenZip(entries, {lzma, {0x5D, 0x00, 0x00, 0x01, 0x00}, 2ull << 30}),
       "Error returned by SzExtract: 1"},
      // Within the limits, but a dictionary and an output far beyond the data.
      {MakeSevenZip(entries, {lzma, {0x5D, 0x00, 0x00, 0x00, 0x40}, 1ull << 30}),
       "Error returned by SzExtract: 1"},
      // More than any volume holds.
      {MakeSevenZip(entries, {lzma, {0x5D, 0x00, 0x00, 0x01, 0x00}, 1ull << 60}),
       "Not enough disk space to unpack: 1152921504606846976 bytes needed", ERROR_DISK_FULL},
  };
  int index = 0;
  for (const auto& c : cases) {
    fs::path base = scratch.path() / std::to_string(index++);
    WriteFile(base / "a.7z", c.archive);
    PROCESS_MEMORY_COUNTERS before{sizeof(before)}, after{sizeof(after)};
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &before, sizeof(before)));
    Outcome outcome = Unpack(base / "a.7z", base / "out");
    EXPECT_EQ(c.result, outcome.result) << c.log;
    EXPECT_TRUE(outcome.Logged(c.log)) << c.log;
    EXPECT_EQ(0u, CountFiles(base / "out")) << c.log;
    // What was allocated for the declaration is not brought into memory.
    ASSERT_TRUE(GetProcessMemoryInfo(GetCurrentProcess(), &after, sizeof(after)));
    EXPECT_LT(after.PeakWorkingSetSize, before.WorkingSetSize + (256u << 20)) << c.log;
  }
}

sevenzip::Result Open(const std::string& bytes) {
  sevenzip::MemoryInStream in(bytes.data(), bytes.size());
  sevenzip::Archive archive;
  return archive.Open(&in);
}

// An archive of four stored bytes "abcd" whose main streams info is `streams`
// (one file, "a").
std::string WithStreamsInfo(const std::string& streams) {
  const std::string files("\x00\x05\x01\x11\x05\x00" "a\x00\x00\x00\x00\x00", 12);
  return SevenZipWithHeader("abcd", "\x01\x04" + streams + files);
}

const std::string kPackOne("\x06\x00\x01\x09\x04\x00", 6);
const std::string kCopyFolder("\x07\x0B\x01\x00\x01\x01\x00\x0C\x04\x00", 10);

// A bit vector of N bits takes N/8 bytes rounded up; the last byte is
// short only when N is not a multiple of 8. Each vector below is a whole
// property and the next property follows it, so a reader that took the
// missing byte from there would read a valid archive.
TEST(SevenZipHostileTest, BitVectorsOneByteShortAreBadHeaders) {
  auto property = [](char id, const std::string& body) {
    return std::string(1, id) + static_cast<char>(body.size()) + body;
  };
  auto names = [&](int count) {
    std::string body(1, '\0');
    for (int i = 0; i < count; ++i)
      body += std::string(1, static_cast<char>('a' + i)) + std::string(3, '\0');
    return property('\x11', body);
  };
  const std::string streams = "\x01\x04" + kPackOne + kCopyFolder + std::string(1, '\0');
  const std::string three = std::string("\x01\x05\x03") + property('\x0E', "\xE0");
  // The header is `head`, the vector property `id` of `bits` and its last
  // byte (or not), `rest`, and the names of `count` entries.
  const struct Case {
    const char* name;
    std::string packed, head;
    char id;
    std::string bits, rest;
    int count;
  } cases[] = {
      // Nine entries, the last of them the stored file: 9 bits in 1 byte.
      {"empty streams, 9 bits", "abcd", streams + "\x05\x09", '\x0E', "\xFF",
       property('\x0F', std::string(1, '\0')), 9},
      // One stored file: 1 bit in no byte.
      {"empty streams, 1 bit", "abcd", streams + "\x05\x01", '\x0E', "", "", 1},
      // Three folders.
      {"empty files, 3 bits", "", three, '\x0F', "", "", 3},
      {"anti items, 3 bits", "", three, '\x10', "", "", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto header = [&](const std::string& last) {
      return c.head + property(c.id, c.bits + last) + c.rest + names(c.count) +
             std::string(2, '\0');
    };
    ASSERT_EQ(sevenzip::Result::kOk, Open(SevenZipWithHeader(c.packed, header(std::string{'\0'}))));
    EXPECT_EQ(sevenzip::Result::kBadHeader, Open(SevenZipWithHeader(c.packed, header(""))));
  }
}

TEST(SevenZipHostileTest, StreamSectionsOutOfOrderOrRepeatedAreRefused) {
  const std::string pack_none("\x06\x00\x00\x00", 4);
  const std::string one_substream("\x08\x00", 2);
  // The plain layout opens, so the refusals below are about the order alone.
  ASSERT_EQ(sevenzip::Result::kOk, Open(WithStreamsInfo(kPackOne + kCopyFolder)));
  const std::string layouts[] = {
      // The folder's packed stream taken away after the folder was read.
      kPackOne + kCopyFolder + pack_none,
      // A second folder list read over the first.
      kPackOne + kCopyFolder + kCopyFolder,
      // Substreams counted before the folders they divide.
      kPackOne + one_substream + kCopyFolder,
      kPackOne + kCopyFolder + one_substream + one_substream,
  };
  for (const auto& layout : layouts)
    EXPECT_EQ(sevenzip::Result::kBadHeader, Open(WithStreamsInfo(layout))) << layout.size();
}

TEST(SevenZipHostileTest, ReaderRandomAccessMatchesArchiveOrder) {
  // Going back within a solid folder restarts it and still checks out.
  std::string data = Fixture("lzma2.7z");
  sevenzip::MemoryInStream in(data.data(), data.size());
  sevenzip::Archive archive;
  ASSERT_EQ(sevenzip::Result::kOk, archive.Open(&in));
  struct Collect : sevenzip::ByteSink {
    std::string bytes;
    bool Write(const uint8_t* p, size_t n) override {
      bytes.append(reinterpret_cast<const char*>(p), n);
      return true;
    }
  };
  sevenzip::Extractor extractor(archive, &in);
  std::vector<std::string> forward(archive.entries().size());
  for (size_t i = 0; i < forward.size(); ++i) {
    Collect sink;
    ASSERT_EQ(sevenzip::Result::kOk, extractor.Extract(i, &sink)) << i;
    forward[i] = sink.bytes;
  }
  for (size_t i = forward.size(); i-- > 0;) {
    Collect sink;
    ASSERT_EQ(sevenzip::Result::kOk, extractor.Extract(i, &sink)) << i;
    EXPECT_EQ(forward[i], sink.bytes) << i;
  }
}

}  // namespace
}  // namespace norva::installer::test
