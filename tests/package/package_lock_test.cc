#include "package/package_lock.h"

#include <gtest/gtest.h>

#include <functional>

#include "package/checksum_checker.h"
#include "package/lzma_util.h"
#include "package/package_query.h"
#include "package/package_test_files.h"
#include "package/payload_reader.h"

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

}  // namespace
}  // namespace norva::installer
