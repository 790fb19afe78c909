#include "package/package_query.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "package/package_test_files.h"
#include "support/scratch.h"

namespace norva::installer {
namespace {

using test::BuiltProgram;

TEST(QueryPackageTest, OneSwitchAndTheOutputAsWritten) {
  // A folder with blanks: the program must be quoted.
  test::ScratchFolder scratch;
  std::filesystem::path folder = scratch.path() / L"Package Folder";
  std::filesystem::create_directories(folder);
  std::filesystem::path child = folder / L"norva installer.exe";
  std::filesystem::copy_file(BuiltProgram(L"package_query_child.exe"), child);
  EXPECT_EQ(QueryPackage(child, "stream"), "args=1 --stream");
  EXPECT_EQ(QueryPackage(child, "internal-version"), "2163.7\r\n");
  EXPECT_EQ(QueryPackage(child, "silent"), "");
}

TEST(QueryPackageTest, OutputLongerThanOneBlock) {
  std::string expected;
  for (int i = 0; i < 700; ++i) expected += "line " + std::to_string(i) + "\n";
  ASSERT_GT(expected.size(), 4096u);
  EXPECT_EQ(QueryPackage(BuiltProgram(L"package_query_child.exe"), "big"), expected);
}

// A package that never ends is ended, and its half answer is not taken.
TEST(QueryPackageTest, APackageThatHangsIsEndedAfterTheLimit) {
  HANDLE mutex = CreateMutexW(nullptr, FALSE, L"Local\\norva_query_child_hang");
  ASSERT_TRUE(mutex);
  EXPECT_EQ(QueryPackage(BuiltProgram(L"package_query_child.exe"), "hang", 1000), "");
  EXPECT_EQ(WaitForSingleObject(mutex, 10000), static_cast<DWORD>(WAIT_ABANDONED));
  ReleaseMutex(mutex);
  CloseHandle(mutex);
}

TEST(QueryPackageTest, MissingPackageGivesNothing) {
  test::ScratchFolder scratch;
  EXPECT_EQ(QueryPackage(scratch.path() / "missing.exe", "version"), "");
}

}  // namespace
}  // namespace norva::installer
