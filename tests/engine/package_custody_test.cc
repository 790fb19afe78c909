// An elevated run installs from a package folder a standard user could write
// only what it has verified itself. Wine keeps no owners, so the user's
// folder is shown to the checks as the user's through the file-security
// seam; the copy, the checks, the unpacking and the installation are real.
#include <windows.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "base/file_util.h"
#include "base/strings.h"
#include "engine/engine_test_support.h"
#include "engine/package_custody.h"
#include "support/local_service.h"
#include "system/access_rights.h"
#include "system/admin_only.h"

namespace norva::installer {
namespace {

namespace fs = std::filesystem;

fs::path g_user_folder;

bool InstalledAnywhere(const fs::path& folder, const wchar_t* name) {
  if (!fs::exists(folder)) return false;
  for (const auto& entry : fs::recursive_directory_iterator(folder))
    if (entry.path().filename() == name) return true;
  return false;
}

std::wstring UserOwnedPackageFolder(const std::wstring& path) {
  // The checks name a path as the system reports it, in capitals.
  return !g_user_folder.empty() && _wcsicmp(path.c_str(), g_user_folder.c_str()) == 0
             ? L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;S-1-5-21-1-2-3-1001)"
             : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

class PackageCustodyTest : public testing::Test {
 protected:
  void SetUp() override {
    SetFileSecurityForTesting(UserOwnedPackageFolder);
    SetAdminMembershipForTesting(AdminMembership::kMember);
  }
  void TearDown() override {
    SetFileSecurityForTesting(nullptr);
    SetAdminMembershipForTesting(std::nullopt);
    g_user_folder.clear();
    test::RemoveProductTraces();
  }
  static fs::path Fixture(const wchar_t* name) {
    const char* folder = std::getenv("NORVA_E2E_FIXTURES");
    return folder ? test::FromUnixPath(folder) / name : fs::path();
  }

  test::EngineEnvironment env_;
};

TEST_F(PackageCustodyTest, AnElevatedRunInstallsOnlyWhatItVerified) {
  ASSERT_TRUE(fs::exists(Fixture(L"package.exe"))) << "run through ctest: the packages are missing";
  const struct {
    const char* name;
    const wchar_t* signed_package;  // beside the folder; null: none
    bool installs;
  } kCases[] = {
      {"verified package", L"package.exe", true},
      {"package of another stream", L"other_stream_package.exe", false},
      {"package of another publisher", L"other_signer_package.exe", false},
      {"no package to verify", nullptr, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    const fs::path base = env_.scratch() / Utf8ToWide(c.name);
    const fs::path package = base / L"user's package";
    fs::create_directories(base);
    fs::copy(env_.package(), package, fs::copy_options::recursive);
    if (c.signed_package) fs::copy_file(Fixture(c.signed_package), base / L"user's package.exe");
    // What the user changed after the checks of their own run.
    test::WriteFile(package / L"launcher.exe", "tampered");
    test::WriteFile(package / L"partner.json", "{}");
    test::WriteFile(package / L"planted.dll", "MZ");
    test::WriteFile(package / L"files_list", test::ReadFile(package / L"files_list") +
                                                 "partner.json\r\nplanted.dll\r\n");
    g_user_folder = package;
    test::LogCapture log;
    const fs::path folder = base / L"Norva";
    test::RecordingObserver run = env_.Run(folder, {.package = package});
    g_user_folder.clear();

    EXPECT_EQ(run.succeeded, c.installs) << run.failed_message;
    EXPECT_TRUE(log.Contains("taking its package into custody"));
    EXPECT_FALSE(InstalledAnywhere(folder, L"planted.dll"));
    if (c.installs) {
      EXPECT_NE(test::ReadFile(folder / L"launcher.exe"), "tampered");
      EXPECT_TRUE(InstalledAnywhere(folder, L"partner.json"));
    } else {
      EXPECT_EQ(run.failed_message, "The package could not be verified");
      EXPECT_FALSE(PathExists(folder / L"launcher.exe"));
    }
    test::RemoveProductTraces();
  }
}

// Where the run has no more rights than the folder's writers, or the folder
// is the administrators' own, it is used as it is.
TEST_F(PackageCustodyTest, OnlyARunWithMoreRightsThanTheFolderTakesCustody) {
  const fs::path package = env_.package();
  EXPECT_FALSE(PackageCustody::Needed(package));  // the administrators' own
  g_user_folder = package;
  EXPECT_TRUE(PackageCustody::Needed(package));
  SetAdminMembershipForTesting(AdminMembership::kLinkedMember);  // not elevated
  EXPECT_FALSE(PackageCustody::Needed(package));
}

// The custody's folder goes with it.
TEST_F(PackageCustodyTest, TheFolderGoesWithTheCustody) {
  const fs::path signed_package = Fixture(L"package.exe");
  ASSERT_TRUE(fs::exists(signed_package)) << "run through ctest: the packages are missing";
  fs::path made;
  {
    PackageCustody custody;
    const FilePath unpacked = custody.Take(signed_package, env_.package());
    made = custody.folder();
    ASSERT_FALSE(unpacked.empty());
    EXPECT_TRUE(PathExists(unpacked / L"installer.exe"));
  }
  EXPECT_FALSE(fs::exists(made));
}

}  // namespace
}  // namespace norva::installer
