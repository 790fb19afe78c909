#include <gtest/gtest.h>

#include <set>

#include "base/strings.h"
#include "package/checksum_checker.h"
#include "package/lzma_util.h"
#include "package/package_query.h"
#include "package/payload_reader.h"
#include "package/package_test_files.h"

namespace norva::installer {
namespace {

// The package that tools/make-package builds (and the demo serves) is one the
// installer accepts: signed by the expected publisher, answering for this
// version and stream, carrying an archive whose "files_list" names what it
// holds.
TEST(PackageBuilderTest, BuiltPackagePassesTheInstallersChecks) {
  std::filesystem::path package = test::FixtureFile("built_package.exe");
  ASSERT_TRUE(std::filesystem::exists(package));
  EXPECT_TRUE(VerifyPackageSigner(package));
  EXPECT_EQ(QueryPackage(package, "version"), "37.0.2163.0");
  EXPECT_EQ(QueryPackage(package, "stream"), "developer");

  PayloadReader reader(package);
  ASSERT_TRUE(reader.ReadPayload());
  ASSERT_TRUE(reader.is_archive());
  test::ScratchFolder scratch;
  std::filesystem::path archive = scratch.path() / L"package.7z";
  ASSERT_TRUE(reader.WritePayloadToFile(archive));
  LzmaUtil unpacker;
  ASSERT_EQ(unpacker.OpenArchive(archive), 0u);
  std::filesystem::path folder = scratch.path() / L"package";
  ASSERT_EQ(unpacker.UnPack(folder), 0u);
  unpacker.CloseArchive();

  std::string list = test::ReadFile(folder / L"files_list");
  std::set<std::string> listed;
  for (const std::string& entry : SplitString(list, '\n')) {
    std::string name = TrimWhitespaceASCII(entry);
    if (name.empty()) continue;
    listed.insert(name);
    EXPECT_TRUE(std::filesystem::is_regular_file(folder / Utf8ToWide(name))) << name;
  }
  EXPECT_EQ(list.find('\n'), list.find("\r\n") + 1);  // lines end with CR LF
  for (const char* expected : {"installer.exe", "norva.exe", "norva_engine.dll",
                               "resources\\resources.pak"})
    EXPECT_EQ(listed.count(expected), 1u) << expected;
  // The launcher goes only to the installation folder, not the version folder.
  EXPECT_TRUE(std::filesystem::is_regular_file(folder / L"launcher.exe"));
  EXPECT_EQ(listed.count("launcher.exe"), 0u);
  EXPECT_EQ(QueryPackage(folder / L"installer.exe", "version"), "37.0.2163.0");
}

}  // namespace
}  // namespace norva::installer
