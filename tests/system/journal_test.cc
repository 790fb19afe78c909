#include "system/transactions/journal.h"

#include <windows.h>

#include <sddl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "scratch_key.h"
#include "support/fault_injection.h"
#include "support/folder_link.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "base/file_util.h"
#include "base/strings.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/copy_file_operation.h"
#include "system/transactions/create_folder_operation.h"
#include "system/transactions/delete_file_operation.h"
#include "system/transactions/move_file_operation.h"
#include "system/transactions/transaction.h"
#include "system/transactions/journal_recovery.h"
#include "system/access_rights.h"
#include "system/admin_only.h"

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

std::string JournalText(const std::vector<JournalRecord>& records) {
  std::vector<uint8_t> bytes = JournalBytes(records);
  return {bytes.begin(), bytes.end()};
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

  // A kind no writer makes, framed and checksummed as a real record is.
  for (int kind : {0, static_cast<int>(Kind::kLastKind) + 1, 255}) {
    std::vector<uint8_t> unknown =
        JournalBytes({records[0], {.kind = static_cast<Kind>(kind)}, records[2]});
    EXPECT_EQ(1u, DecodeJournal(unknown, &end).size()) << kind;
    EXPECT_EQ(JournalReadEnd::kDamaged, end) << kind;
  }
}

class JournalRecoveryTest : public testing::Test {
 protected:
  fs::path Install(const wchar_t* relative = L"") const { return scratch_.path() / L"Norva & co" / relative; }
  fs::path Outside(const wchar_t* relative) const { return scratch_.path() / L"outside" / relative; }
  fs::path JournalFile() const { return scratch_.path() / L"journal"; }
  static FilePath F(const fs::path& path) { return FilePath(path.wstring()); }

  JournalScope Scope() const {
    JournalScope scope;
    scope.install_folder = F(Install());
    scope.own_keys = {product_};
    scope.shared_values = {{key_.Sub(L"Shared\\*\\List"), L"Norva*"}};
    scope.shortcut_folders = {F(Outside(L"Menu"))};
    scope.shortcut_names = {L"Norva"};
    scope.package_folder = scope_package_;
    return scope;
  }

  RecoveryResult Recover(std::vector<JournalRecord> records) {
    records.insert(records.begin(), {.kind = Kind::kHeader, .texts = {Install().wstring()}});
    test::WriteFile(JournalFile(), JournalText(records));
    return RecoverJournalFile();
  }
  RecoveryResult RecoverJournalFile() const {
    return RecoverInterruptedInstallation(F(JournalFile()), Scope());
  }

  // The journal's bytes, read as its writer holds it: open for writing and
  // for its deletion.
  std::string HeldJournalBytes() const {
    HANDLE held = CreateFileW(JournalFile().c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(held, INVALID_HANDLE_VALUE);
    std::string bytes(1 << 16, '\0');
    DWORD read = 0;
    ReadFile(held, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(held);
    bytes.resize(read);
    return bytes;
  }

  test::ScratchFolder scratch_;
  test::ScratchKey key_;
  const std::wstring product_ = key_.Sub(L"Product");
  FilePath scope_package_;
};

// A self-relative security descriptor, as a journal keeps one.
std::vector<uint8_t> DescriptorBytes(const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ULONG size = 0;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, &size))
    return {};
  std::vector<uint8_t> bytes(static_cast<uint8_t*>(descriptor), static_cast<uint8_t*>(descriptor) + size);
  LocalFree(descriptor);
  return bytes;
}

std::vector<uint8_t> StringBytes(const std::wstring& text) {
  auto bytes = reinterpret_cast<const uint8_t*>(text.c_str());
  return {bytes, bytes + (text.size() + 1) * sizeof(wchar_t)};
}

JournalRecord MadeFolder(const fs::path& folder, const fs::path& ancestor) {
  return {.kind = Kind::kCreatedFolder, .texts = {folder.wstring(), ancestor.wstring()}};
}
JournalRecord MadeFile(const fs::path& file) {
  return {.kind = Kind::kCreatedFile, .texts = {file.wstring()}};
}
JournalRecord MadeKey(const std::wstring& key, uint32_t root = 1) {
  return {.kind = Kind::kCreatedKey, .texts = {key}, .numbers = {root}};
}
// A value the transaction added (to be removed again), or `type` for it.
JournalRecord AddedValue(const std::wstring& key, const wchar_t* name, uint32_t root = 1,
                         uint32_t type = kRemoveValueType) {
  return {.kind = Kind::kChangedValue, .texts = {key, name}, .numbers = {root, type}, .blobs = {{}}};
}
JournalRecord WidenedFile(const fs::path& file, std::vector<uint8_t> descriptor) {
  return {.kind = Kind::kWidenedAccess,
          .texts = {file.wstring()},
          .numbers = {kFileObjectType},
          .blobs = {std::move(descriptor)}};
}

// Each record kind, found with the state its change left: a transaction that
// never committed is undone, one that committed (its run killed while it
// cleaned up) is finished and keeps everything it made.
TEST_F(JournalRecoveryTest, EachChangeIsUndoneUnlessTheTransactionCommitted) {
  auto value = [&](const std::wstring& key, const wchar_t* name) {
    return test::ReadRegString(HKEY_CURRENT_USER, key, name);
  };
  const struct Case {
    const char* what;
    std::function<void()> change;  // the state the change left
    JournalRecord record;
    std::function<bool()> undone;
  } kCases[] = {
      {"created folder", [&] { test::WriteFile(Install(L"made\\deep\\a.dll"), "new"); },
       MadeFolder(Install(L"made\\deep"), Install()),
       [&] { return !fs::exists(Install(L"made")) && fs::exists(Install()); }},
      {"created file", [&] { test::WriteFile(Install(L"new.dll"), "new"); },
       MadeFile(Install(L"new.dll")), [&] { return !fs::exists(Install(L"new.dll")); }},
      {"moved file", [&] { test::WriteFile(Install(L"to.dll"), "moved"); },
       {.kind = Kind::kMovedFile, .texts = {Install(L"from.dll").wstring(), Install(L"to.dll").wstring()}},
       [&] { return fs::exists(Install(L"from.dll")) && !fs::exists(Install(L"to.dll")); }},
      {"set aside", [&] { test::WriteFile(Install(L"launcher.exe.1.old"), "old"); },
       {.kind = Kind::kSetAside,
        .texts = {Install(L"launcher.exe").wstring(), Install(L"launcher.exe.1.old").wstring()}},
       [&] { return test::ReadFile(Install(L"launcher.exe")) == "old"; }},
      {"created key", [&] { test::WriteString(product_ + L"\\New", L"v", L"new"); },
       MadeKey(product_ + L"\\New"),
       [&] { return !test::KeyExists(product_ + L"\\New") && test::KeyExists(product_); }},
      {"changed value", [&] { test::WriteString(product_, L"v", L"new"); },
       {.kind = Kind::kChangedValue, .texts = {product_, L"v"}, .numbers = {1, REG_SZ},
        .blobs = {StringBytes(L"old")}},
       [&] { return value(product_, L"v") == L"old"; }},
      {"added value", [&] { test::WriteString(product_, L"added", L"new"); },
       AddedValue(product_, L"added"), [&] { return value(product_, L"added") == L"<missing>"; }},
      {"deleted key", [] {},
       {.kind = Kind::kDeletedKey, .texts = {product_ + L"\\Gone", L"v"}, .numbers = {1, REG_SZ},
        .blobs = {{}, StringBytes(L"kept")}},
       [&] { return value(product_ + L"\\Gone", L"v") == L"kept"; }},
  };
  for (bool committed : {false, true}) {
    for (const Case& c : kCases) {
      SCOPED_TRACE(std::string(c.what) + (committed ? ", committed" : ""));
      test::LogCapture log;
      ASSERT_TRUE(test::WriteString(product_, L"keep", L"yes"));
      c.change();
      std::vector<JournalRecord> records = {c.record};
      if (committed) records.push_back({.kind = Kind::kCommitted});
      EXPECT_EQ(RecoveryResult::kRolledBack, Recover(records));
      EXPECT_EQ(c.undone(), !committed);
      EXPECT_FALSE(log.Contains("Could not"));
      EXPECT_FALSE(fs::exists(JournalFile()));
      EXPECT_FALSE(fs::exists(Install(L"launcher.exe.1.old")));
      fs::remove_all(Install());
      RegDeleteTreeW(HKEY_CURRENT_USER, product_.c_str());
    }
  }
}

// Widened rights are put back whether or not the transaction committed: on a
// key through its handle, on a file through the file's own handle.
TEST_F(JournalRecoveryTest, WidenedRightsArePutBackCommittedOrNot) {
  const std::wstring before = L"D:P(A;;KA;;;SY)(A;;KA;;;BA)(A;;KA;;;CO)";
  for (bool committed : {false, true}) {
    SCOPED_TRACE(committed ? "committed" : "not committed");
    ASSERT_TRUE(test::WriteString(product_, L"v", L"x"));
    ASSERT_TRUE(test::SetKeySecurityText(product_, L"D:(A;;KA;;;WD)"));
    test::WriteFile(Install(L"widened.dll"), "x");
    std::vector<JournalRecord> records = {
        {.kind = Kind::kWidenedAccess,
         .texts = {RegistryObjectName(HKEY_CURRENT_USER, product_)},
         .numbers = {kRegistryObjectType},
         .blobs = {DescriptorBytes(before.c_str())}},
        WidenedFile(Install(L"widened.dll"), DescriptorBytes(L"D:P(A;;FA;;;SY)(A;;FA;;;BA)")),
    };
    if (committed) records.push_back({.kind = Kind::kCommitted});
    test::LogCapture log;
    EXPECT_EQ(RecoveryResult::kRolledBack, Recover(records));
    EXPECT_EQ(test::KeySecurityText(product_).find("WD"), std::string::npos)
        << test::KeySecurityText(product_);
    EXPECT_FALSE(log.Contains("Could not"));
    RegDeleteTreeW(HKEY_CURRENT_USER, product_.c_str());
  }
  // A descriptor that is none restores nothing, and says so.
  test::LogCapture log;
  Recover({WidenedFile(Install(L"widened.dll"), {1, 2, 3})});
  EXPECT_TRUE(log.Contains("Could not restore the access list"));
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
    scope_package_ = same_package ? F(package) : FilePath();
    EXPECT_EQ(RecoveryResult::kRolledBack,
              Recover({MadeFolder(Install(L"1.0"), Install()),
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
  test::WriteFile(Install(L"sub\\keep.dll"), "keep");
  // Siblings whose names begin with the installation folder's and the key's.
  const fs::path sibling = scratch_.path() / L"Norva & co2";
  test::WriteFile(sibling / L"keep.txt", "keep");
  const std::wstring other_key = key_.Sub(L"Other"), sibling_key = key_.Sub(L"ProductX");
  for (const std::wstring& key : {other_key, sibling_key})
    ASSERT_TRUE(test::WriteString(key, L"v", L"keep"));
  const std::wstring outside = Outside(L"keep.txt").wstring();
  const std::wstring climbing = Install(L"..\\outside\\keep.txt").wstring();
  const std::wstring sub = Install(L"sub").wstring();
  const std::wstring shared = key_.Sub(L"Shared\\.x");
  ASSERT_TRUE(test::WriteString(shared + L"\\List", L"Other", L"keep"));
  const fs::path menu_folder = Outside(L"Menu\\Norva Software");
  test::WriteFile(menu_folder / L"keep.txt", "keep");

  const char* const folders = "outside the product's folders";
  const char* const keys = "outside the product's keys";
  const struct {
    const char* what;
    JournalRecord record;
    const char* logged;
  } kCases[] = {
      {"file outside", MadeFile(outside), folders},
      {"climbing path", MadeFile(climbing), folders},
      {"moved outside", {.kind = Kind::kMovedFile, .texts = {Install(L"x").wstring(), outside}}, folders},
      {"moved from outside",
       {.kind = Kind::kMovedFile, .texts = {Outside(L"taken.dll").wstring(), Install(L"keep.dll").wstring()}},
       folders},
      {"sibling folder", MadeFile(sibling / L"keep.txt"), folders},
      {"sibling folder made", MadeFolder(sibling, scratch_.path()), folders},
      {"ancestor is the folder", MadeFolder(sub, sub), "wrong ancestor"},
      {"ancestor below", MadeFolder(sub, sub + L"\\deeper"), "wrong ancestor"},
      {"ancestor beside", MadeFolder(sub, Outside(L"")), "wrong ancestor"},
      {"no ancestor", MadeFolder(sub, L""), "wrong ancestor"},
      {"sibling key", MadeKey(sibling_key), keys},
      {"key outside", MadeKey(other_key), keys},
      {"value outside", AddedValue(other_key, L"v"), keys},
      {"unknown root", MadeKey(product_, 7), keys},
      {"malformed", {.kind = Kind::kCreatedFile, .texts = {}}, "malformed"},
      // Made by the installation, then used by others too: only what is
      // empty goes, and a root of the menu never.
      {"made shared key", MadeKey(shared), "Leaving the key"},
      {"made menu folder", MadeFolder(menu_folder, Outside(L"Menu")), "Leaving"},
      {"the menu itself made", MadeFolder(Outside(L"Menu"), Outside(L"")), folders},
      {"another program's shared value", AddedValue(shared + L"\\List", L"Other"), keys},
  };
  for (const auto& c : kCases) {
    test::LogCapture log;
    EXPECT_EQ(RecoveryResult::kRolledBack, Recover({c.record})) << c.what;
    EXPECT_TRUE(log.Contains(c.logged)) << c.what;
    for (const fs::path& kept : {Outside(L"keep.txt"), sibling / L"keep.txt", Install(L"keep.dll"),
                                 Install(L"sub\\keep.dll"), menu_folder / L"keep.txt"})
      EXPECT_EQ(test::ReadFile(kept), "keep") << c.what << " " << kept;
    for (const std::wstring& key : {other_key, sibling_key})
      EXPECT_EQ(L"keep", test::ReadRegString(HKEY_CURRENT_USER, key, L"v")) << c.what;
    EXPECT_EQ(L"keep", test::ReadRegString(HKEY_CURRENT_USER, shared + L"\\List", L"Other")) << c.what;
  }

  // A record whose checksum fails, with records after it: none of them runs.
  test::LogCapture log;
  JournalRecord header{.kind = Kind::kHeader, .texts = {Install().wstring()}};
  const JournalRecord remove_dll = MadeFile(Install(L"keep.dll"));
  std::vector<uint8_t> bytes = JournalBytes({header, remove_dll, remove_dll});
  bytes[JournalBytes({header}).size() + 12] ^= 1;
  test::WriteFile(JournalFile(), std::string(bytes.begin(), bytes.end()));
  RecoverJournalFile();
  EXPECT_TRUE(log.Contains("is damaged"));
  EXPECT_TRUE(fs::exists(Install(L"keep.dll")));

  // A file far larger than any journal is not read into memory.
  HANDLE large = CreateFileW(JournalFile().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(large, INVALID_HANDLE_VALUE);
  SetFilePointerEx(large, {.QuadPart = (256ll << 20) + 1}, nullptr, FILE_BEGIN);
  SetEndOfFile(large);
  CloseHandle(large);
  EXPECT_EQ(RecoveryResult::kFailed, RecoverJournalFile());
  EXPECT_TRUE(log.Contains("Could not read the journal"));

  // A journal of another folder (a collision, or planted) is not replayed.
  JournalRecord foreign{.kind = Kind::kHeader, .texts = {Outside(L"").wstring()}};
  test::WriteFile(JournalFile(), JournalText({foreign, remove_dll}));
  EXPECT_EQ(RecoveryResult::kNothingToDo, RecoverJournalFile());
  EXPECT_TRUE(log.Contains("names another installation folder"));
  EXPECT_TRUE(fs::exists(Install(L"keep.dll")));
}

// A link below the installation folder (a junction on Windows; under Wine a
// Unix link, which it reports as a reparse point) takes a recovery nowhere.
TEST_F(JournalRecoveryTest, LinksBelowTheInstallationFolderAreNeverFollowed) {
  const fs::path target = Outside(L"target"), link = Install(L"link"), package = Outside(L"package");
  test::WriteFile(target / L"keep.dll", "keep");
  test::WriteFile(target / L"sub\\keep.dll", "keep");
  fs::create_directories(Install(L"made"));
  fs::create_directories(package);
  const std::vector<fs::path> links = {link, Install(L"made\\link")};
  std::vector<test::FolderLinkKind> kinds;
  for (const fs::path& one : links) kinds.push_back(test::MakeFolderLink(one, target));
  if (kinds[0] == test::FolderLinkKind::kNone || kinds[1] == test::FolderLinkKind::kNone)
    GTEST_SKIP() << "This system makes no folder links";
  scope_package_ = F(package);
  const std::wstring through = (link / L"keep.dll").wstring(), deeper = (link / L"sub\\keep.dll").wstring();
  const JournalRecord kRecords[] = {
      MadeFile(through),
      {.kind = Kind::kSetAside, .texts = {through, deeper}},
      {.kind = Kind::kMovedFile, .texts = {Install(L"back.dll").wstring(), through}},
      MadeFolder(link / L"sub", Install()),
      MadeFolder(link, Install()),
      {.kind = Kind::kMovedFromPackage, .texts = {package.wstring(), link.wstring()}},
      MadeFolder(Install(L"made"), Install()),
  };
  for (const JournalRecord& record : kRecords) {
    SCOPED_TRACE(static_cast<int>(record.kind));
    SCOPED_TRACE(WideToUtf8(record.texts.back()));
    Recover({record});
    EXPECT_EQ(test::ReadFile(target / L"keep.dll"), "keep");
    EXPECT_EQ(test::ReadFile(target / L"sub\\keep.dll"), "keep");
    EXPECT_FALSE(fs::exists(package / L"keep.dll"));
  }
  // Rights put back by the link's own name would land on its target.
  test::LogCapture log;
  Recover({WidenedFile(link, DescriptorBytes(L"D:P(A;OICI;FA;;;WD)"))});
  EXPECT_TRUE(log.Contains("Could not restore the access list"));
  if (kinds[0] == test::FolderLinkKind::kUnix) {
    EXPECT_TRUE(test::RemoveUnixLinks(links));
  }
}

// A change whose record cannot reach the disk is not made: not when the
// journal cannot be made, nor when its flush fails as a failing disk's would.
// Above all, a file is not set aside.
TEST_F(JournalRecoveryTest, AChangeWhoseRecordCannotBeWrittenIsNotMade) {
  const struct {
    const char* what;
    fs::path journal;
    bool flush_fails;
  } kJournals[] = {
      {"no folder for the journal", scratch_.path() / L"missing" / L"journal", false},
      {"failing flush", JournalFile(), true},
  };
  test::WriteFile(Install(L"old.dll"), "old");
  test::WriteFile(Outside(L"new.dll"), "new");
  ASSERT_TRUE(test::WriteString(product_, L"v", L"old"));
  const test::FolderSnapshot files = test::FolderSnapshot::Take(scratch_.path());
  const test::RegistrySnapshot registry = test::RegistrySnapshot::Take(HKEY_CURRENT_USER, key_.path());
  for (const auto& j : kJournals) {
    if (j.flush_fails) Journal::SetFlushForTesting([](HANDLE) -> BOOL {
      SetLastError(ERROR_IO_DEVICE);
      return FALSE;
    });
    std::unique_ptr<Operation> operations[] = {
        std::make_unique<DeleteFileOperation>(F(Install(L"old.dll")), true, false),
        std::make_unique<CopyFileOperation>(F(Outside(L"new.dll")), F(Install(L"old.dll"))),
        std::make_unique<MoveFileOperation>(F(Outside(L"new.dll")), F(Install(L"old.dll"))),
        std::make_unique<CreateFolderOperation>(F(Install(L"made"))),
        std::make_unique<ChangeRegValueOperation>(HKEY_CURRENT_USER, product_, L"v", L"new", REG_SZ, 8),
    };
    for (std::unique_ptr<Operation>& operation : operations) {
      Journal journal;
      journal.Open(F(j.journal), Scope());
      Transaction transaction(&journal);
      EXPECT_FALSE(transaction.Execute(std::move(operation))) << j.what;
      transaction.Rollback();
      EXPECT_EQ(files.DifferencesTo(test::FolderSnapshot::Take(scratch_.path())) +
                    registry.DifferencesTo(test::RegistrySnapshot::Take(HKEY_CURRENT_USER, key_.path())),
                "")
          << j.what;
    }
    Journal::SetFlushForTesting(nullptr);
  }
}

// What goes into a folder or key the transaction made goes with it: it needs
// no record of its own, nor a flush. What lies beside it does.
TEST_F(JournalRecoveryTest, WhatGoesIntoAMadeFolderOrKeyNeedsNoRecord) {
  const std::wstring key = key_.Sub(L"Product\\New");
  const struct {
    JournalRecord record;
    bool written;
  } kRecords[] = {
      {MadeFolder(Install(L"made"), Install()), true},
      {MadeFile(Install(L"made\\a.dll")), false},
      {MadeFile(Install(L"made2\\a.dll")), true},
      {MadeKey(key), true},
      {AddedValue(key + L"\\Sub", L"v"), false},
      {AddedValue(key, L"v", 2), true},
      {AddedValue(key + L"X", L"v"), true},
  };
  Journal journal;
  journal.Open(F(JournalFile()), Scope());
  std::vector<JournalRecord> expected = {{.kind = Kind::kHeader, .texts = {Install().wstring()}}};
  for (const auto& r : kRecords) {
    ASSERT_TRUE(journal.Append(r.record));
    if (r.written) expected.push_back(r.record);
  }
  const std::string held = HeldJournalBytes();
  const std::vector<uint8_t> bytes(held.begin(), held.end());
  JournalReadEnd end;
  EXPECT_EQ(DecodeJournal(bytes, &end), expected);
  journal.Discard();
}

// A folder's creation record stands until a drop withdraws it: the
// recovery leaves such a folder, with what it holds, to whoever has it now.
TEST_F(JournalRecoveryTest, AWithdrawnCreationRemovesNothing) {
  const JournalRecord created = MadeFolder(Install(L"made"), Install());
  const JournalRecord dropped{.kind = Kind::kDroppedFolder, .texts = {Install(L"MADE").wstring()}};
  const JournalRecord other{.kind = Kind::kDroppedFolder, .texts = {Install(L"other").wstring()}};
  const struct {
    const char* what;
    std::vector<JournalRecord> records;
    bool stays;
  } kCases[] = {
      {"withdrawn", {created, dropped}, true},
      {"made again after it was withdrawn", {created, dropped, created}, false},
      {"made and withdrawn twice", {created, dropped, created, dropped}, true},
      {"a drop before the creation", {dropped, created}, false},
      {"another folder withdrawn", {created, other}, false},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    test::LogCapture log;
    test::WriteFile(Install(L"made\\theirs.txt"), "theirs");
    EXPECT_EQ(RecoveryResult::kRolledBack, Recover(c.records));
    EXPECT_EQ(fs::exists(Install(L"made\\theirs.txt")), c.stays);
    EXPECT_TRUE(fs::exists(Install()));
    EXPECT_FALSE(log.Contains("Refusing"));
    fs::remove_all(Install());
  }
}

class JournalWriterTest : public JournalRecoveryTest {
 protected:
  // What a recovery does after a kill of the writer now: it reads the records
  // that are on disk (a copy, as the writer holds the journal).
  RecoveryResult RecoverAfterAKill() {
    const fs::path killed = scratch_.path() / L"killed.journal";
    fs::remove(killed);
    if (!fs::exists(JournalFile())) return RecoveryResult::kNothingToDo;
    test::WriteFile(killed, HeldJournalBytes());
    return RecoverInterruptedInstallation(F(killed), Scope());
  }
};

// Whatever stands where a folder is to be made is not the transaction's: no
// record names it, so a recovery never removes it.
TEST_F(JournalWriterTest, NothingIsRecordedForAFolderWhereAFileStands) {
  for (const wchar_t* folder : {L"taken", L"taken\\sub"}) {
    SCOPED_TRACE(WideToUtf8(folder));
    test::WriteFile(Install(L"taken"), "a file");
    Journal journal;
    journal.Open(F(JournalFile()), Scope());
    Transaction transaction(&journal);
    EXPECT_FALSE(transaction.Execute(std::make_unique<CreateFolderOperation>(F(Install(folder)))));
    EXPECT_FALSE(journal.written());
    EXPECT_EQ(RecoveryResult::kNothingToDo, RecoverAfterAKill());
    EXPECT_EQ(test::ReadFile(Install(L"taken")), "a file");
    transaction.Rollback();
    EXPECT_EQ(test::ReadFile(Install(L"taken")), "a file");
    fs::remove_all(Install());
  }
}

// A folder the transaction made and then lost again is withdrawn from the
// journal. When someone else makes a folder of that name and the transaction
// then copies into it, the copy has its own record: a recovery after a kill
// removes the copy and leaves the other's folder.
TEST_F(JournalWriterTest, AFolderWhoseCreationWasUndoneIsNoLongerTheTransactions) {
  test::WriteFile(Outside(L"new.dll"), "new");
  const FilePath made = F(Install(L"made"));
  const struct {
    const char* what;
    std::function<bool(Transaction*)> lose;
  } kCases[] = {
      {"failed after its Do",
       [&](Transaction* transaction) {
         test::FaultInjector fault(1, test::FaultInjector::Mode::kAfterDo);
         return transaction->Execute(std::make_unique<CreateFolderOperation>(made));
       }},
      {"prerequisite of a copy that failed",
       [&](Transaction* transaction) {
         return transaction->Execute(std::make_unique<CopyFileOperation>(
             F(Outside(L"missing.dll")), F(Install(L"made\\a.dll"))));
       }},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    fs::create_directories(Install());
    Journal journal;
    journal.Open(F(JournalFile()), Scope());
    Transaction transaction(&journal);
    EXPECT_FALSE(c.lose(&transaction));
    EXPECT_FALSE(fs::exists(Install(L"made")));
    test::WriteFile(Install(L"made\\theirs.txt"), "theirs");
    ASSERT_TRUE(transaction.Execute(
        std::make_unique<CopyFileOperation>(F(Outside(L"new.dll")), F(Install(L"made\\new.dll")))));
    EXPECT_EQ(RecoveryResult::kRolledBack, RecoverAfterAKill());
    EXPECT_EQ(test::ReadFile(Install(L"made\\theirs.txt")), "theirs");
    EXPECT_FALSE(fs::exists(Install(L"made\\new.dll")));
    transaction.Rollback();
    EXPECT_FALSE(fs::exists(JournalFile()));
    fs::remove_all(Install());
  }
}

TEST_F(JournalRecoveryTest, AJournalHeldByItsWriterIsLeftAlone) {
  test::LogCapture log;
  Journal journal;
  journal.Open(F(JournalFile()), Scope());
  test::WriteFile(Install(L"new.dll"), "new");
  ASSERT_TRUE(journal.Append(MadeFile(Install(L"new.dll"))));
  EXPECT_EQ(RecoveryResult::kOwnerAlive, RecoverJournalFile());
  EXPECT_TRUE(fs::exists(Install(L"new.dll")));
  journal.Discard();
  EXPECT_FALSE(fs::exists(JournalFile()));
  EXPECT_FALSE(log.Contains("Could not"));
  EXPECT_EQ(RecoveryResult::kNothingToDo, RecoverJournalFile());
}

// What the test system cannot keep (Wine keeps no file security): files and
// folders at or below this path read as a user's, open to everyone; the rest
// as the administrators' own.
std::wstring g_untrusted;

std::wstring PlantedSecurity(const std::wstring& path) {
  const bool untrusted = !g_untrusted.empty() && IsPathWithin(path, g_untrusted);
  return untrusted ? L"O:S-1-5-21-1-2-3-1001D:(A;OICI;FA;;;WD)" : L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

// A machine's journal and its folders count only when no other account could
// have made or changed them: what fails is set aside unread, and the folder
// made again is a fresh one.
TEST_F(JournalRecoveryTest, AMachineJournalOthersCouldHaveWrittenIsSetAsideUnread) {
  const fs::path top = scratch_.path() / L"Norva Installer", folder = top / L"Journals";
  const fs::path file = folder / L"x.journal", elsewhere = Outside(L"elsewhere");
  const struct {
    const char* what;
    fs::path untrusted;
    bool link;
    const char* logged;
  } kCases[] = {
      {"the administrators' own", {}, false, nullptr},
      {"top folder made by a user", top, false, "Not reading the journals in"},
      {"journals folder open to users", folder, false, "Not reading the journals in"},
      {"journal written by a user", file, false, "Not reading the journal "},
      {"journals folder a link", {}, true, "link"},
  };
  Journal::SetFlushForTesting(nullptr);
  SetFileSecurityForTesting(PlantedSecurity);
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(top);
    fs::create_directories(c.link ? top : folder);
    fs::create_directories(elsewhere);
    test::FolderLinkKind link = test::FolderLinkKind::kNone;
    if (c.link && (link = test::MakeFolderLink(folder, elsewhere)) == test::FolderLinkKind::kNone)
      continue;
    test::WriteFile(Install(L"made.dll"), "made");
    const JournalRecord header{.kind = Kind::kHeader, .texts = {Install().wstring()}};
    test::WriteFile(c.link ? elsewhere / L"x.journal" : file,
                    JournalText({header, MadeFile(Install(L"made.dll"))}));
    g_untrusted = c.untrusted.wstring();
    JournalScope scope = Scope();
    scope.machine = true;
    test::LogCapture log;
    RecoveryResult result = RecoverInterruptedInstallation(F(file), scope);
    const bool trusted = c.logged == nullptr;
    EXPECT_EQ(trusted ? RecoveryResult::kRolledBack : RecoveryResult::kNothingToDo, result);
    EXPECT_EQ(!trusted, fs::exists(Install(L"made.dll")));
    if (trusted) continue;
    EXPECT_TRUE(log.Contains(c.logged));
    // Set aside by name, with what it held; nothing in it was deleted.
    const fs::path aside = c.untrusted.empty() ? folder : c.untrusted;
    EXPECT_FALSE(fs::exists(fs::symlink_status(aside)));
    bool found = false;
    for (const auto& entry : fs::directory_iterator(aside.parent_path()))
      found |= entry.path().filename().wstring().starts_with(aside.filename().wstring() + L".untrusted-");
    EXPECT_TRUE(found);
    if (link == test::FolderLinkKind::kUnix) {
      for (const auto& entry : fs::directory_iterator(top))
        if (entry.is_symlink()) test::RemoveUnixLinks({entry.path()});
    }
  }
  // A folder someone else made is never made the administrators' in place.
  g_untrusted = top.wstring();
  fs::create_directories(top);
  test::WriteFile(top / L"planted", "x");
  EXPECT_FALSE(MakeAdminOnlyFolder(F(top)));
  EXPECT_FALSE(fs::exists(top / L"planted"));
  g_untrusted.clear();
  EXPECT_TRUE(MakeAdminOnlyFolder(F(top)));
  EXPECT_TRUE(fs::is_empty(top));
  SetFileSecurityForTesting(nullptr);
}

TEST(JournalPathTest, EverySpellingOfAFolderFindsOneJournal) {
  FilePath a = Journal::PathFor(FilePath(L"C:\\Program Files\\Norva"), false);
  ASSERT_FALSE(a.empty());
  EXPECT_FALSE(Journal::ExistsFor(FilePath(L"C:\\PROGRAM FILES\\norva")));
  test::WriteFile(std::filesystem::path(a.native()), "NVJ1");
  EXPECT_TRUE(Journal::ExistsFor(FilePath(L"C:\\PROGRAM FILES\\norva")));
  DeleteFileW(a.c_str());
  EXPECT_EQ(a, Journal::PathFor(FilePath(L"c:/program files/NORVA\\"), false));
  EXPECT_NE(a, Journal::PathFor(FilePath(L"C:\\Program Files\\Norva2"), false));
  // The machine's journals have their own folder, made (and cut down to the
  // administrators) on the way.
  FilePath machine = Journal::PathFor(FilePath(L"C:\\Program Files\\Norva"), true);
  ASSERT_FALSE(machine.empty());
  EXPECT_NE(a, machine);
  EXPECT_TRUE(DirectoryExists(machine.parent_path()));
}

}  // namespace
}  // namespace norva::installer
