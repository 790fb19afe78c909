#include <windows.h>

#include <aclapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <memory>

#include "product/product_info.h"
#include "scratch_key.h"
#include "support/scratch.h"
#include "support/snapshot.h"
#include "system/transactions/change_reg_value_operation.h"
#include "system/transactions/delete_reg_key_operation.h"
#include "system/transactions/registry_entry.h"
#include "system/transactions/transaction.h"
#include "system/windows_version.h"

namespace norva::installer {
namespace {

using test::KeySecurityText;
using test::ReadValue;
using test::SetKeySecurityText;
using test::WriteString;
using test::WriteValue;

std::unique_ptr<Operation> SetString(const std::wstring& key, const std::wstring& name,
                                     const std::wstring& text) {
  return std::make_unique<ChangeRegValueOperation>(
      HKEY_CURRENT_USER, key, name, text.c_str(), REG_SZ,
      static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

class RegistryOperationsTest : public testing::Test {
 protected:
  test::ScratchKey scratch_;
  test::LogCapture log_;
};

TEST_F(RegistryOperationsTest, RemovingAMissingValueChangesNothing) {
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(std::make_unique<ChangeRegValueOperation>(
      HKEY_CURRENT_USER, scratch_.Sub(L"Missing"), L"v", nullptr, kRemoveValueType, 0)));
  ASSERT_TRUE(transaction.Execute(std::make_unique<ChangeRegValueOperation>(
      HKEY_CURRENT_USER, scratch_.path(), L"v", nullptr, kRemoveValueType, 0)));
  transaction.Rollback();
  EXPECT_FALSE(test::KeyExists(scratch_.Sub(L"Missing")));
  std::vector<BYTE> data;
  DWORD type;
  EXPECT_FALSE(ReadValue(scratch_.path(), L"v", &data, &type));
}

TEST_F(RegistryOperationsTest, ChangeAndRemovalRestoreTheOldBytesAndTypeExactly) {
  const BYTE binary[] = {1, 0, 0xFF};
  ASSERT_TRUE(WriteValue(scratch_.path(), L"bin", REG_BINARY, binary, sizeof(binary)));
  ASSERT_TRUE(WriteString(scratch_.path(), L"", L"default"));
  ASSERT_TRUE(WriteValue(scratch_.path(), L"gone", REG_EXPAND_SZ, L"%TEMP%", 14));
  test::RegistrySnapshot before = test::RegistrySnapshot::Take(HKEY_CURRENT_USER, scratch_.path());

  Transaction transaction;
  DWORD number = 7;
  ASSERT_TRUE(transaction.Execute(std::make_unique<ChangeRegValueOperation>(
      HKEY_CURRENT_USER, scratch_.path(), L"bin", &number, REG_DWORD, 4)));
  ASSERT_TRUE(transaction.Execute(SetString(scratch_.path(), L"", L"")));
  ASSERT_TRUE(transaction.Execute(std::make_unique<ChangeRegValueOperation>(
      HKEY_CURRENT_USER, scratch_.path(), L"gone", nullptr, kRemoveValueType, 0)));
  ASSERT_TRUE(transaction.Execute(std::make_unique<ChangeRegValueOperation>(
      HKEY_CURRENT_USER, scratch_.path(), L"empty", nullptr, REG_SZ, 0)));
  std::vector<BYTE> data;
  DWORD type = 0;
  ASSERT_TRUE(ReadValue(scratch_.path(), L"bin", &data, &type));
  EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
  EXPECT_FALSE(ReadValue(scratch_.path(), L"gone", &data, &type));

  transaction.Rollback();
  EXPECT_EQ("", before.DifferencesTo(
                    test::RegistrySnapshot::Take(HKEY_CURRENT_USER, scratch_.path())));
}

TEST_F(RegistryOperationsTest, KeyWithoutRightsIsWidenedForTheChangeAndRestoredAfter) {
  std::wstring locked = scratch_.Sub(L"Locked");
  ASSERT_TRUE(WriteString(locked, L"v", L"old"));
  // Everyone may read, nobody may set values.
  ASSERT_TRUE(SetKeySecurityText(locked, L"D:(A;;KR;;;WD)"));
  std::string dacl = KeySecurityText(locked);
  {
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(SetString(locked, L"v", L"new")));
    EXPECT_TRUE(log_.Contains("We don't have enough permissions on the key."));
    transaction.Rollback();
  }
  EXPECT_EQ(L"old", test::ReadRegString(HKEY_CURRENT_USER, locked, L"v"));
  EXPECT_EQ(dacl, KeySecurityText(locked));
}

// A parent whose own rights forbid creating subkeys still gets its subkeys
// back: the saved rights must not stop the rebuild below them. (Wine does not
// check the parent's rights when a key is created, so only Windows can fail
// this.)
TEST_F(RegistryOperationsTest, RollbackRebuildsSubkeysOfAKeyThatForbidsCreatingThem) {
  std::wstring k = scratch_.Sub(L"K");
  ASSERT_TRUE(WriteString(k + L"\\L", L"l", L"1"));
  ASSERT_TRUE(WriteString(k, L"top", L"0"));
  ASSERT_TRUE(SetKeySecurityText(k, L"D:P(A;;KR;;;WD)"));
  test::RegistrySnapshot before = test::RegistrySnapshot::Take(HKEY_CURRENT_USER, k);
  {
    Transaction transaction;
    ASSERT_TRUE(transaction.Execute(std::make_unique<DeleteRegKeyOperation>(HKEY_CURRENT_USER, k)));
    EXPECT_FALSE(test::KeyExists(k));
    transaction.Rollback();
  }
  EXPECT_EQ("", before.DifferencesTo(test::RegistrySnapshot::Take(HKEY_CURRENT_USER, k)));
  SetKeySecurityText(k, L"D:(A;;KA;;;WD)");  // so that the scratch key can go
}

// A registry link whose target does not exist: it is listed as a subkey but
// cannot be opened, which stops a tree delete half-way.
class DanglingLink {
 public:
  explicit DanglingLink(const std::wstring& path) : path_(path) {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, nullptr,
                        REG_OPTION_CREATE_LINK | REG_OPTION_VOLATILE, KEY_ALL_ACCESS | KEY_CREATE_LINK,
                        nullptr, &key, nullptr) != ERROR_SUCCESS) {
      return;
    }
    std::wstring target = L"\\Registry\\Machine\\Software\\NorvaTestMissingTarget";
    created_ = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                              reinterpret_cast<const BYTE*>(target.data()),
                              static_cast<DWORD>(target.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    RegCloseKey(key);
  }
  ~DanglingLink() {
    using NtDeleteKeyFunction = LONG(WINAPI*)(HANDLE);
    auto nt_delete_key = reinterpret_cast<NtDeleteKeyFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), REG_OPTION_OPEN_LINK, DELETE, &key) ==
        ERROR_SUCCESS) {
      nt_delete_key(key);
      RegCloseKey(key);
    }
  }
  bool created() const { return created_; }

 private:
  std::wstring path_;
  bool created_ = false;
};

TEST_F(RegistryOperationsTest, PartialDeleteFailureIsUndoneAndKeysStillThereAreLeftAlone) {
  std::wstring k = scratch_.Sub(L"K");
  ASSERT_TRUE(WriteString(k + L"\\A", L"a", L"1"));
  ASSERT_TRUE(WriteString(k + L"\\A\\Deep", L"d", L"4"));
  DanglingLink link(k + L"\\B");
  ASSERT_TRUE(link.created());
  ASSERT_TRUE(WriteString(k + L"\\C", L"c", L"3"));
  ASSERT_TRUE(WriteString(k, L"top", L"0"));
  test::RegistrySnapshot before = test::RegistrySnapshot::Take(HKEY_CURRENT_USER, k + L"\\A");

  Transaction transaction;
  // Execute undoes the failed Do at once.
  EXPECT_FALSE(transaction.Execute(std::make_unique<DeleteRegKeyOperation>(HKEY_CURRENT_USER, k)));
  EXPECT_TRUE(log_.Contains("DeleteAndSaveRecursive : " + WideToUtf8(k) + "\\A\\Deep"));
  EXPECT_TRUE(log_.Contains("Failed to open key " + WideToUtf8(RegistryObjectName(
                                                        HKEY_CURRENT_USER, k + L"\\B"))));
  EXPECT_EQ("", before.DifferencesTo(test::RegistrySnapshot::Take(HKEY_CURRENT_USER, k + L"\\A")));
  EXPECT_EQ(L"3", test::ReadRegString(HKEY_CURRENT_USER, k + L"\\C", L"c"));
  EXPECT_EQ(L"0", test::ReadRegString(HKEY_CURRENT_USER, k, L"top"));
}

// Keys that had to be widened for the delete and are there after the rollback,
// kept because the delete failed below them or rebuilt, have their own DACL
// again: a grant made in an elevated run must not outlive it.
TEST_F(RegistryOperationsTest, PartialDeleteGivesWidenedKeysTheirDaclBack) {
  std::wstring k = scratch_.Sub(L"K");
  ASSERT_TRUE(WriteString(k + L"\\A", L"a", L"1"));
  DanglingLink link(k + L"\\B\\Link");
  ASSERT_TRUE(link.created());
  // Nobody may delete them. K and B stay; A is deleted and rebuilt. (Wine
  // drops the protection of a key's DACL set by name, so the kept keys are
  // left to inherit here.)
  struct Key {
    const wchar_t* path;
    const wchar_t* dacl;
    std::string before;
  } keys[] = {
      {L"", L"D:(D;;SD;;;WD)(A;;KA;;;WD)"},
      {L"\\A", L"D:P(D;;SD;;;WD)(A;;KA;;;WD)"},
      {L"\\B", L"D:(D;;SD;;;WD)(A;;KR;;;WD)"},
  };
  for (Key& key : keys) {
    ASSERT_TRUE(SetKeySecurityText(k + key.path, key.dacl));
    key.before = KeySecurityText(k + key.path);
  }

  Transaction transaction;
  EXPECT_FALSE(transaction.Execute(std::make_unique<DeleteRegKeyOperation>(HKEY_CURRENT_USER, k)));
  EXPECT_TRUE(log_.Contains("Insufficient permissions on the key"));
  for (const Key& key : keys) EXPECT_EQ(key.before, KeySecurityText(k + key.path)) << key.path;
}

class RecordingContext : public RegistryEntryContext {
 public:
  std::wstring GetTemplateValue(const std::wstring& name) override {
    if (name == L"Product") return L"Norva";
    if (name == L"Stream") return L"developer";
    if (name == L"Self") return L"again {Self}";
    if (name == L"Path") return L"Sub {Stream}";
    return L"<" + name + L">";
  }
  std::vector<InstallLogKey>* GetInstallLogKeys(HKEY root) override {
    return root == HKEY_CURRENT_USER ? &keys : nullptr;
  }
  std::vector<InstallLogKey> keys;
};

class RegistryEntryTest : public RegistryOperationsTest {
 protected:
  void TearDown() override {
    SetWindowsVersionRankForTesting(-1);
    product::SetStreamIdForTesting(-1);
  }
  RecordingContext context_;
};

TEST_F(RegistryEntryTest, FiltersByRankRootAndStream) {
  std::unique_ptr<Operation> operation;
  RegistryEntry row{L"Software\\X", nullptr, REG_DWORD, nullptr, nullptr, 1, 3};
  row.context = &context_;
  SetWindowsVersionRankForTesting(kWindowsXP);
  EXPECT_TRUE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_FALSE(operation);
  SetWindowsVersionRankForTesting(kWindowsVista);
  EXPECT_TRUE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_TRUE(operation);

  row.root_filter = HKEY_LOCAL_MACHINE;
  EXPECT_TRUE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_FALSE(operation);
  row.root_filter = nullptr;
  row.min_stream = 3;
  product::SetStreamIdForTesting(2);
  EXPECT_TRUE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_FALSE(operation);
  product::SetStreamIdForTesting(3);
  EXPECT_TRUE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_TRUE(operation);

  row.type = REG_DWORD_BIG_ENDIAN;
  EXPECT_FALSE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_FALSE(operation);
}

TEST_F(RegistryEntryTest, ExpandsTemplatesWritesAndRecordsTheValue) {
  std::wstring key = scratch_.path() + L"\\{Product}\\{Path}";
  RegistryEntry row{key.c_str(), L"{Product} {Stream}", REG_SZ, L"{Unknown}"};
  row.clean_level = 2;
  row.context = &context_;
  std::unique_ptr<Operation> operation;
  ASSERT_TRUE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  Transaction transaction;
  ASSERT_TRUE(transaction.Execute(std::move(operation)));
  EXPECT_EQ(L"<Unknown>", test::ReadRegString(HKEY_CURRENT_USER, scratch_.Sub(L"Norva\\Sub {Stream}"),
                                               L"Norva developer"));
  ASSERT_EQ(1u, context_.keys.size());
  EXPECT_EQ(WideToUtf8(scratch_.Sub(L"Norva\\Sub {Stream}")), context_.keys[0].path);
  EXPECT_EQ(2, context_.keys[0].clean);
  EXPECT_EQ("<Unknown>", context_.keys[0].values[0].data);

  // An empty expansion writes zero bytes.
  RegistryEntry empty{scratch_.path().c_str(), L"e", REG_SZ, L""};
  ASSERT_TRUE(CreateRegistryOperation(empty, HKEY_CURRENT_USER, &operation));
  ASSERT_TRUE(transaction.Execute(std::move(operation)));
  std::vector<BYTE> data;
  DWORD type;
  ASSERT_TRUE(ReadValue(scratch_.path(), L"e", &data, &type));
  EXPECT_EQ(0u, data.size());
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);

  // The delete-key kind takes its key as it stands: the key of that name
  // goes, the key written above stays.
  ASSERT_TRUE(test::WriteString(key, L"v", L"literal"));
  RegistryEntry remove{key.c_str(), nullptr, kDeleteKeyType};
  remove.context = &context_;
  ASSERT_TRUE(CreateRegistryOperation(remove, HKEY_CURRENT_USER, &operation));
  ASSERT_TRUE(transaction.Execute(std::move(operation)));
  EXPECT_FALSE(test::KeyExists(key));
  EXPECT_TRUE(test::KeyExists(scratch_.Sub(L"Norva\\Sub {Stream}")));
}

TEST_F(RegistryEntryTest, InsertedTextIsNotExpandedAgain) {
  const struct {
    const wchar_t* text;
    const wchar_t* expanded;
  } kCases[] = {
      {L"x {Self} {Product}", L"x again {Self} Norva"},
      {L"open { only", L"open { only"},
      {L"a}b{{Product}", L"a}b{Norva"},
      {L"{Product}{Stream}", L"Norvadeveloper"},
      {L"", L""},
  };
  for (const auto& c : kCases) {
    std::wstring expanded;
    EXPECT_TRUE(ExpandTemplate(c.text, &context_, &expanded));
    EXPECT_EQ(expanded, c.expanded) << WideToUtf8(c.text);
  }
  // A placeholder needs a context to give its value.
  RegistryEntry row{L"Software\\{Product}", nullptr, REG_NONE};
  std::unique_ptr<Operation> operation;
  EXPECT_FALSE(CreateRegistryOperation(row, HKEY_CURRENT_USER, &operation));
  EXPECT_FALSE(operation);
}

}  // namespace
}  // namespace norva::installer
