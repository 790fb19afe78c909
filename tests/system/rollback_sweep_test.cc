#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "scratch_key.h"
#include "support/fault_injection.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "base/command_line.h"
#include "base/file_util.h"
#include "base/process.h"
#include "system/transactions/journal_recovery.h"
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

    std::wstring product = Key(L"Product");
    ASSERT_TRUE(test::WriteString(product, L"Version", L"1.0"));
    ASSERT_TRUE(test::WriteString(product, L"Obsolete", L"yes"));
    DWORD number = 1;
    ASSERT_TRUE(test::WriteValue(Key(L"Old\\Sub\\Deeper"), L"n", REG_DWORD, &number, 4));
    ASSERT_TRUE(test::WriteString(Key(L"Old\\Sub"), L"a", L"1"));
    ASSERT_TRUE(test::WriteString(Key(L"Old\\Sub"), L"b", L"22"));
    ASSERT_TRUE(test::WriteString(Key(L"Old\\Locked"), L"", L"locked"));
    ASSERT_TRUE(test::SetKeySecurityText(Key(L"Old\\Locked"),
                                         L"D:P(D;;SD;;;WD)(A;;KA;;;WD)"));
  }

  fs::path Path(const wchar_t* relative) const { return root_ / relative; }
  std::wstring Key(const wchar_t* relative) const { return key_ + L"\\" + relative; }

  bool Install(Transaction* transaction) {
    std::wstring product = Key(L"Product");
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
        std::make_unique<DeleteRegKeyOperation>(HKEY_CURRENT_USER, Key(L"Old")),
    };
    for (std::unique_ptr<Operation>& operation : operations)
      if (!transaction->Execute(std::move(operation))) return false;
    return true;
  }

  // The installation as a commit leaves it: nothing set aside is left.
  void ExpectInstalled() const {
    EXPECT_EQ("new app", test::ReadFile(Path(L"install\\app.exe")));
    EXPECT_EQ("readme", test::ReadFile(Path(L"install\\readme.txt")));
    EXPECT_EQ("new lib", test::ReadFile(Path(L"install\\2.0\\lib.dll")));
    EXPECT_EQ("{}", test::ReadFile(Path(L"install\\data\\moved.json")));
    EXPECT_FALSE(fs::exists(Path(L"install\\old\\obsolete.dll")));
    EXPECT_FALSE(fs::exists(Path(L"package\\readme.txt")));
    EXPECT_FALSE(test::KeyExists(Key(L"Old")));
    for (const auto& entry : fs::recursive_directory_iterator(root_))
      EXPECT_NE(L".old", entry.path().extension().native()) << entry.path();
  }

  std::string Differences(const test::FolderSnapshot& files,
                          const test::RegistrySnapshot& registry) const {
    return files.DifferencesTo(test::FolderSnapshot::Take(scratch_.path())) +
           registry.DifferencesTo(
               test::RegistrySnapshot::Take(HKEY_CURRENT_USER, scratch_key_.path()));
  }

  test::ScratchFolder scratch_;
  test::ScratchKey scratch_key_;
  // Where Install works: the scratch folder and key, or a parent test's.
  fs::path root_ = scratch_.path();
  std::wstring key_ = scratch_key_.path();
};

// The same miniature installation in a child process that ends itself, as a
// kill would, right after the k-th journal record is on disk or right after
// the k-th change; a recovery pass alone must then restore the snapshot.
class CrashSweepTest : public RollbackSweepTest {
 protected:
  fs::path JournalFile() const { return Path(L"journal"); }

  JournalScope Scope() const {
    JournalScope scope;
    scope.install_folder = FilePath(root_.wstring());
    scope.own_keys = {key_};
    return scope;
  }

  // Runs the child with `ending`; true when it ended before finishing the
  // installation.
  bool RunKilledChild(const std::wstring& ending) {
    std::wstring command = QuoteArgument(GetExecutablePath().native()) +
                           L" --gtest_filter=CrashSweepTest.Child " + ending +
                           L" --crash-scratch=" + QuoteArgument(root_.wstring()) +
                           L" --crash-key=" + QuoteArgument(key_);
    DWORD exit_code = 1;
    EXPECT_TRUE(LaunchProcessAndWait(command, &exit_code));
    EXPECT_EQ(0u, exit_code);  // a kill that looks like success
    return !fs::exists(Path(L"finished"));
  }
};

// First in the transaction, so the first that a commit destroys: ends the
// process as a kill would, after the commit record and before any clean-up.
class EndAtCommit : public Operation {
 public:
  ~EndAtCommit() override { TerminateProcess(GetCurrentProcess(), 0); }
  bool Do(Transaction*) override { return true; }
  void Undo() override {}
};

TEST_F(CrashSweepTest, Child) {
  const CommandLine& command_line = CommandLine::ForCurrentProcess();
  if (!command_line.HasSwitch("crash-scratch")) GTEST_SKIP() << "run by the crash sweep";
  // This process is killed before its own scratch would be removed.
  DeleteTree(FilePath(scratch_.path().wstring()));
  RegDeleteTreeW(HKEY_CURRENT_USER, scratch_key_.path().c_str());
  RegDeleteKeyW(HKEY_CURRENT_USER, scratch_key_.path().c_str());
  root_ = command_line.GetSwitchValuePath("crash-scratch").native();
  key_ = command_line.GetSwitchValue("crash-key");
  auto* journal = new Journal;  // never destroyed, as in a process that is killed
  journal->Open(FilePath(JournalFile().wstring()), Scope());
  auto* transaction = new Transaction(journal);
  const bool commit = command_line.HasSwitch("crash-at-commit");
  if (commit) transaction->Execute(std::make_unique<EndAtCommit>());
  if (!Install(transaction)) return;
  test::WriteFile(Path(L"finished"), "");
  if (commit) transaction->Commit();
}

TEST_F(CrashSweepTest, EveryKillPositionIsRolledBackByRecovery) {
  test::FolderSnapshot files = test::FolderSnapshot::Take(scratch_.path());
  test::RegistrySnapshot registry =
      test::RegistrySnapshot::Take(HKEY_CURRENT_USER, scratch_key_.path());
  int killed = 0;
  for (const char* kill_switch : {"test-kill-after-journal-record", "test-kill-after-do"}) {
    int position = 1;
    for (; position < 100 && RunKilledChild(L"--" + Utf8ToWide(kill_switch) + L"=" +
                                            std::to_wstring(position));
         ++position) {
      ++killed;
      ASSERT_TRUE(fs::exists(JournalFile())) << kill_switch << "=" << position;
      EXPECT_EQ(RecoveryResult::kRolledBack,
                RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope()));
      EXPECT_FALSE(fs::exists(JournalFile()));
      // The snapshot ignores the journal; it is gone anyway.
      EXPECT_EQ("", Differences(files, registry)) << kill_switch << "=" << position;
    }
    // Past the last position the child finished without committing: a
    // recovery rolls back the whole installation.
    fs::remove(Path(L"finished"));
    EXPECT_EQ(RecoveryResult::kRolledBack,
              RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope()));
    EXPECT_EQ("", Differences(files, registry)) << kill_switch << " after a finished run";
    EXPECT_GT(position, 14) << kill_switch;
    printf("Crash sweep %s: %d positions killed and recovered\n", kill_switch, position - 1);
  }
  EXPECT_GT(killed, 28);

  // Killed once its commit record is on disk: the recovery finishes the
  // commit and keeps the installation.
  EXPECT_FALSE(RunKilledChild(L"--crash-at-commit"));
  EXPECT_EQ(RecoveryResult::kRolledBack,
            RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope()));
  ExpectInstalled();
}

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
  ExpectInstalled();
  EXPECT_FALSE(fs::exists(Path(L"install\\old")));  // emptied by the commit
}

}  // namespace
}  // namespace norva::installer
