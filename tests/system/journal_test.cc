#include "system/transactions/journal.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "scratch_key.h"
#include "support/scratch.h"
#include "system/transactions/journal_recovery.h"

namespace norva::installer {
namespace {

namespace fs = std::filesystem;
using Kind = JournalRecord::Kind;

std::vector<uint8_t> JournalBytes(const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> bytes = {'N', 'V', 'J', '1'};
  for (const JournalRecord& record : records) {
    std::vector<uint8_t> encoded = EncodeJournalRecord(record);
    bytes.insert(bytes.end(), encoded.begin(), encoded.end());
  }
  return bytes;
}

TEST(JournalFormatTest, ATornLastRecordIsAChangeThatNeverStartedAndADamagedOneStopsTheReading) {
  std::vector<JournalRecord> records = {
      {.kind = Kind::kHeader, .texts = {L"C:\\Norva \u00e9"}},
      {.kind = Kind::kDeletedKey,
       .texts = {L"Software\\X", L"v"},
       .numbers = {1, REG_BINARY},
       .blobs = {{}, {0, 1, 2, 255}}},
      {.kind = Kind::kCreatedFile, .texts = {L"C:\\Norva \u00e9\\a.dll"}},
  };
  std::vector<uint8_t> whole = JournalBytes(records);
  JournalReadEnd end;
  EXPECT_EQ(records, DecodeJournal(whole, &end));
  EXPECT_EQ(JournalReadEnd::kComplete, end);

  size_t last_start = JournalBytes({records[0], records[1]}).size();
  for (size_t cut = last_start; cut < whole.size(); ++cut) {
    std::vector<uint8_t> torn(whole.begin(), whole.begin() + cut);
    EXPECT_EQ(2u, DecodeJournal(torn, &end).size()) << cut;
    EXPECT_EQ(cut == last_start ? JournalReadEnd::kComplete : JournalReadEnd::kTornTail, end);
  }
  std::vector<uint8_t> flipped_last = whole;
  flipped_last.back() ^= 1;
  EXPECT_EQ(2u, DecodeJournal(flipped_last, &end).size());
  EXPECT_EQ(JournalReadEnd::kTornTail, end);

  std::vector<uint8_t> damaged_middle = whole;
  damaged_middle[last_start - 2] ^= 0x40;
  EXPECT_EQ(1u, DecodeJournal(damaged_middle, &end).size());
  EXPECT_EQ(JournalReadEnd::kDamaged, end);
}

class JournalRecoveryTest : public testing::Test {
 protected:
  fs::path Install(const wchar_t* relative = L"") const { return scratch_.path() / L"Norva & co" / relative; }
  fs::path Outside(const wchar_t* relative) const { return scratch_.path() / L"outside" / relative; }
  fs::path JournalFile() const { return scratch_.path() / L"journal"; }

  JournalScope Scope() const {
    JournalScope scope;
    scope.install_folder = FilePath(Install().wstring());
    scope.key_prefixes = {key_.Sub(L"Product")};
    scope.package_folder = scope_package_;
    return scope;
  }

  RecoveryResult Recover(std::vector<JournalRecord> records) {
    records.insert(records.begin(), {.kind = Kind::kHeader, .texts = {Install().wstring()}});
    std::vector<uint8_t> bytes = JournalBytes(records);
    test::WriteFile(JournalFile(), std::string(bytes.begin(), bytes.end()));
    return RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope());
  }

  test::ScratchFolder scratch_;
  test::ScratchKey key_;
  FilePath scope_package_;
};

TEST_F(JournalRecoveryTest, ASetAsideFileGoesBackUnlessTheTransactionCommitted) {
  for (bool committed : {false, true}) {
    test::WriteFile(Install(L"launcher.exe.1.old"), "old launcher");
    std::vector<JournalRecord> records = {
        {.kind = Kind::kSetAside,
         .texts = {Install(L"launcher.exe").wstring(), Install(L"launcher.exe.1.old").wstring()}}};
    if (committed) records.push_back({.kind = Kind::kCommitted});
    EXPECT_EQ(RecoveryResult::kRolledBack, Recover(records));
    EXPECT_EQ(!committed, fs::exists(Install(L"launcher.exe"))) << committed;
    EXPECT_FALSE(fs::exists(Install(L"launcher.exe.1.old"))) << committed;
    EXPECT_FALSE(fs::exists(JournalFile()));
    fs::remove(Install(L"launcher.exe"));
  }
}

// Files moved out of the run's own package go back to it when the recovering
// run has that same package, and only to it; otherwise they go with the
// folder the run made.
TEST_F(JournalRecoveryTest, FilesMovedFromThePackageGoBackOnlyToTheSamePackage) {
  for (bool same_package : {true, false}) {
    SCOPED_TRACE(same_package ? "same package" : "another package");
    fs::path package = Outside(L"package");
    fs::create_directories(package / L"dlls");
    test::WriteFile(package / L"installer.exe", "still there");
    test::WriteFile(Install(L"1.0\\installer.exe"), "copied");
    test::WriteFile(Install(L"1.0\\norva.exe"), "moved");
    test::WriteFile(Install(L"1.0\\dlls\\a.dll"), "moved too");
    scope_package_ = same_package ? FilePath(package.wstring()) : FilePath();
    EXPECT_EQ(RecoveryResult::kRolledBack,
              Recover({{.kind = Kind::kCreatedFolder,
                        .texts = {Install(L"1.0").wstring(), Install().wstring()}},
                       {.kind = Kind::kMovedFromPackage,
                        .texts = {package.wstring(), Install(L"1.0").wstring()}}}));
    EXPECT_FALSE(fs::exists(Install(L"1.0")));
    EXPECT_EQ(test::ReadFile(package / L"installer.exe"), "still there");
    EXPECT_EQ(fs::exists(package / L"norva.exe"), same_package);
    EXPECT_EQ(fs::exists(package / L"dlls\\a.dll"), same_package);
    fs::remove_all(package);
  }
}

TEST_F(JournalRecoveryTest, AHostileJournalChangesNothingAndIsLogged) {
  test::WriteFile(Outside(L"keep.txt"), "keep");
  test::WriteFile(Install(L"keep.dll"), "keep");
  std::wstring other_key = key_.Sub(L"Other");
  ASSERT_TRUE(test::WriteString(other_key, L"v", L"keep"));
  const std::wstring outside = Outside(L"keep.txt").wstring();
  const std::wstring climbing = Install(L"..\\outside\\keep.txt").wstring();

  struct Case {
    const char* what;
    std::vector<JournalRecord> records;
    const char* logged;
  } cases[] = {
      {"file outside", {{.kind = Kind::kCreatedFile, .texts = {outside}}}, "outside the product's folders"},
      {"climbing path", {{.kind = Kind::kCreatedFile, .texts = {climbing}}}, "outside the product's folders"},
      {"moved outside",
       {{.kind = Kind::kMovedFile, .texts = {Install(L"x").wstring(), outside}}},
       "outside the product's folders"},
      {"key outside",
       {{.kind = Kind::kCreatedKey, .texts = {other_key}, .numbers = {1}}},
       "outside the product's keys"},
      {"value outside",
       {{.kind = Kind::kChangedValue,
         .texts = {other_key, L"v"},
         .numbers = {1, 0xFFFFFFFF},
         .blobs = {{}}}},
       "outside the product's keys"},
      {"unknown root",
       {{.kind = Kind::kCreatedKey, .texts = {key_.Sub(L"Product")}, .numbers = {7}}},
       "outside the product's keys"},
      {"malformed", {{.kind = Kind::kCreatedFile, .texts = {}}}, "malformed"},
  };
  for (const Case& c : cases) {
    test::LogCapture log;
    EXPECT_EQ(RecoveryResult::kRolledBack, Recover(c.records)) << c.what;
    EXPECT_TRUE(log.Contains(c.logged)) << c.what;
    EXPECT_TRUE(fs::exists(Outside(L"keep.txt"))) << c.what;
    EXPECT_EQ(L"keep", test::ReadRegString(HKEY_CURRENT_USER, other_key, L"v")) << c.what;
  }

  // A record whose checksum fails, with records after it: none of them runs.
  test::LogCapture log;
  JournalRecord header{.kind = Kind::kHeader, .texts = {Install().wstring()}};
  JournalRecord remove_dll{.kind = Kind::kCreatedFile, .texts = {Install(L"keep.dll").wstring()}};
  std::vector<uint8_t> bytes = JournalBytes({header, remove_dll, remove_dll});
  bytes[JournalBytes({header}).size() + 12] ^= 1;
  test::WriteFile(JournalFile(), std::string(bytes.begin(), bytes.end()));
  RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope());
  EXPECT_TRUE(log.Contains("is damaged"));
  EXPECT_TRUE(fs::exists(Install(L"keep.dll")));

  // A journal of another folder (a collision, or planted) is not replayed.
  JournalRecord foreign{.kind = Kind::kHeader, .texts = {Outside(L"").wstring()}};
  bytes = JournalBytes({foreign, remove_dll});
  test::WriteFile(JournalFile(), std::string(bytes.begin(), bytes.end()));
  EXPECT_EQ(RecoveryResult::kNothingToDo,
            RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope()));
  EXPECT_TRUE(log.Contains("names another installation folder"));
  EXPECT_TRUE(fs::exists(Install(L"keep.dll")));
}

TEST_F(JournalRecoveryTest, AJournalHeldByItsWriterIsLeftAlone) {
  Journal journal;
  journal.Open(FilePath(JournalFile().wstring()), FilePath(Install().wstring()));
  test::WriteFile(Install(L"new.dll"), "new");
  ASSERT_TRUE(journal.Append({.kind = Kind::kCreatedFile, .texts = {Install(L"new.dll").wstring()}}));
  EXPECT_EQ(RecoveryResult::kOwnerAlive,
            RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope()));
  EXPECT_TRUE(fs::exists(Install(L"new.dll")));
  journal.Discard();
  EXPECT_FALSE(fs::exists(JournalFile()));
  EXPECT_EQ(RecoveryResult::kNothingToDo,
            RecoverInterruptedInstallation(FilePath(JournalFile().wstring()), Scope()));
}

TEST(JournalPathTest, EverySpellingOfAFolderFindsOneJournal) {
  FilePath a = Journal::PathFor(FilePath(L"C:\\Program Files\\Norva"), false);
  ASSERT_FALSE(a.empty());
  EXPECT_EQ(a, Journal::PathFor(FilePath(L"c:/program files/NORVA\\"), false));
  EXPECT_NE(a, Journal::PathFor(FilePath(L"C:\\Program Files\\Norva2"), false));
  EXPECT_NE(a, Journal::PathFor(FilePath(L"C:\\Program Files\\Norva"), true));
}

}  // namespace
}  // namespace norva::installer
