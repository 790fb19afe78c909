#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "scratch_key.h"
#include "support/fault_injection.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/copy_file_operation.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/delete_reg_key_operation.h"
#include "system/transactions/move_file_operation.h"
#include "system/transactions/transaction.h"

namespace norva::installer {
namespace {

namespace fs = std::filesystem;
using test::FaultInjector;

// An installation in miniature: folders, copies onto existing files, moves,
// deletes of programs, registry values created, changed and removed, and a
// key tree deleted. Every one of its operations is made to fail in turn.
class RollbackSweepTest : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(Path(L"package\\bin"));
    fs::create_directories(Path(L"install\\old"));
    test::WriteFile(Path(L"package\\bin\\app.exe"), "new app");
    test::WriteFile(Path(L"package\\bin\\lib.dll"), "new lib");
    test::WriteFile(Path(L"package\\readme.txt"), "readme");
    test::WriteFile(Path(L"install\\app.exe"), "old app");
    test::WriteFile(Path(L"install\\old\\obsolete.dll"), "obsolete");
    test::WriteFile(Path(L"install\\settings.json"), "{}");
    test::WriteFile(Path(L"install\\data\\moved.json"), "");
    SetFileAttributesW(Path(L"install\\settings.json").c_str(), FILE_ATTRIBUTE_HIDDEN);

    std::wstring product = scratch_key_.Sub(L"Product");
    ASSERT_TRUE(test::WriteString(product, L"Version", L"1.0"));
    ASSERT_TRUE(test::WriteString(product, L"Obsolete", L"yes"));
    DWORD number = 1;
    ASSERT_TRUE(test::WriteValue(scratch_key_.Sub(L"Old\\Sub\\Deeper"), L"n", REG_DWORD, &number, 4));
    ASSERT_TRUE(test::WriteString(scratch_key_.Sub(L"Old\\Locked"), L"", L"locked"));
    ASSERT_TRUE(test::SetKeySecurityText(scratch_key_.Sub(L"Old\\Locked"),
                                         L"D:P(D;;SD;;;WD)(A;;KA;;;WD)"));
  }

  fs::path Path(const wchar_t* relative) const { return scratch_.path() / relative; }

  bool Install(Transaction* transaction) {
    std::wstring product = scratch_key_.Sub(L"Product");
    std::wstring version = L"2.0";
    DWORD flag = 1;
    std::unique_ptr<Operation> operations[] = {
        std::make_unique<CreateFolderOperation>(Path(L"install\\profile\\cache")),
        std::make_unique<CopyFileOperation>(Path(L"package\\bin\\app.exe"), Path(L"install\\app.exe")),
        std::make_unique<CopyFileOperation>(Path(L"package\\bin\\lib.dll"),
                                            Path(L"install\\2.0\\lib.dll")),
        std::make_unique<MoveFileOperation>(Path(L"package\\readme.txt"), Path(L"install\\readme.txt")),
        std::make_unique<MoveFileOperation>(Path(L"install\\settings.json"),
                                            Path(L"install\\data\\moved.json")),
        std::make_unique<DeleteFileOperation>(Path(L"install\\old\\obsolete.dll"), true, true),
        std::make_unique<DeleteFileOperation>(Path(L"install\\missing.dll"), true, false),
        std::make_unique<ChangeRegValueOperation>(
            HKEY_CURRENT_USER, product, L"Version", version.c_str(), REG_SZ,
            static_cast<DWORD>((version.size() + 1) * sizeof(wchar_t))),
        std::make_unique<ChangeRegValueOperation>(HKEY_CURRENT_USER, product + L"\\Features\\A",
                                                  L"On", &flag, REG_DWORD, 4),
        std::make_unique<ChangeRegValueOperation>(HKEY_CURRENT_USER, product, L"Obsolete", nullptr,
                                                  kRemoveValueType, 0),
        std::make_unique<DeleteRegKeyOperation>(HKEY_CURRENT_USER, scratch_key_.Sub(L"Old")),
    };
    for (std::unique_ptr<Operation>& operation : operations)
      if (!transaction->Execute(std::move(operation))) return false;
    return true;
  }

  std::string Differences(const test::FolderSnapshot& files,
                          const test::RegistrySnapshot& registry) const {
    return files.DifferencesTo(test::FolderSnapshot::Take(scratch_.path())) +
           registry.DifferencesTo(
               test::RegistrySnapshot::Take(HKEY_CURRENT_USER, scratch_key_.path()));
  }

  test::ScratchFolder scratch_;
  test::ScratchKey scratch_key_;
};

TEST_F(RollbackSweepTest, EveryFailurePositionRollsBackToTheSnapshot) {
  test::FolderSnapshot files = test::FolderSnapshot::Take(scratch_.path());
  test::RegistrySnapshot registry =
      test::RegistrySnapshot::Take(HKEY_CURRENT_USER, scratch_key_.path());
  ASSERT_GT(files.size(), 5u);
  ASSERT_GT(registry.size(), 4u);

  int total = 0;
  {
    FaultInjector counter;
    Transaction transaction;
    ASSERT_TRUE(Install(&transaction));
    total = counter.executed();
    transaction.Rollback();
  }
  EXPECT_EQ("", Differences(files, registry)) << "plain rollback";
  ASSERT_GE(total, 14);  // the eleven above and their nested prerequisites

  int covered = 0;
  for (FaultInjector::Mode mode : {FaultInjector::Mode::kBeforeDo, FaultInjector::Mode::kAfterDo}) {
    for (int k = 1; k <= total; ++k) {
      FaultInjector injector(k, mode);
      Transaction transaction;
      EXPECT_FALSE(Install(&transaction)) << "k=" << k;
      EXPECT_TRUE(injector.fired());
      transaction.Rollback();
      std::string differences = Differences(files, registry);
      EXPECT_EQ("", differences) << "failure at k=" << k << " " << test::ModeName(mode);
      if (differences.empty()) ++covered;
    }
  }
  printf("Rollback sweep: %d operations, %d of %d failure positions rolled back cleanly\n", total,
         covered, 2 * total);
  EXPECT_EQ(2 * total, covered);

  // And committed, the installation is there and nothing is left set aside.
  {
    Transaction transaction;
    ASSERT_TRUE(Install(&transaction));
  }
  EXPECT_EQ("new app", test::ReadFile(Path(L"install\\app.exe")));
  EXPECT_EQ("readme", test::ReadFile(Path(L"install\\readme.txt")));
  EXPECT_FALSE(fs::exists(Path(L"install\\old")));
  EXPECT_FALSE(fs::exists(Path(L"package\\readme.txt")));
  EXPECT_FALSE(test::KeyExists(scratch_key_.Sub(L"Old")));
  for (const auto& entry : fs::recursive_directory_iterator(scratch_.path()))
    EXPECT_NE(L".old", entry.path().extension().native()) << entry.path();
}

}  // namespace
}  // namespace norva::installer
