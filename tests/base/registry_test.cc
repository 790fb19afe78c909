#include "base/registry.h"

#include <gtest/gtest.h>

#include <string>

namespace norva::installer {
namespace {

// A fresh key path of this process, removed (in both views) when it goes.
class TestKeyPath {
 public:
  TestKeyPath() : path_(L"Software\\NorvaRegKeyTest\\" + std::to_wstring(GetCurrentProcessId())) {
    Remove();
  }
  ~TestKeyPath() { Remove(); }
  const std::wstring& path() const { return path_; }

 private:
  void Remove() {
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
      for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        RegKey parent;
        if (parent.Open(root, L"Software\\NorvaRegKeyTest", DELETE | KEY_ALL_ACCESS | view) ==
            ERROR_SUCCESS) {
          RegDeleteTreeW(parent.get(), nullptr);
          parent.Close();
          RegDeleteKeyExW(root, L"Software\\NorvaRegKeyTest", view, 0);
        }
      }
    }
  }
  std::wstring path_;
};

TEST(RegKeyTest, OpenCreateAndMove) {
  TestKeyPath test;
  RegKey key;
  EXPECT_EQ(key.Open(HKEY_CURRENT_USER, test.path(), KEY_READ), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(key);
  DWORD disposition = 0;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, test.path(), KEY_ALL_ACCESS, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, test.path(), KEY_ALL_ACCESS, &disposition),
            ERROR_SUCCESS);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  ASSERT_EQ(key.WriteDWORD(L"n", 5), ERROR_SUCCESS);

  RegKey moved(std::move(key));
  EXPECT_FALSE(key.is_valid());
  DWORD value = 0;
  EXPECT_EQ(moved.ReadDWORD(L"n", &value), ERROR_SUCCESS);
  EXPECT_EQ(value, 5u);
  key = std::move(moved);
  EXPECT_FALSE(moved);
  HKEY raw = key.release();
  EXPECT_FALSE(key);
  EXPECT_EQ(RegCloseKey(raw), ERROR_SUCCESS);  // release left it open
}

TEST(RegKeyTest, ValuesRoundTripAndTypesAreChecked) {
  TestKeyPath test;
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_CURRENT_USER, test.path(), KEY_ALL_ACCESS), ERROR_SUCCESS);
  const std::wstring text = L"C:\\Program Files (x86)\\Norva & Co %TEMP% ^! \u00e9";
  ASSERT_EQ(key.WriteDWORD(L"number", 0xFFFFFFFE), ERROR_SUCCESS);
  // "bare" is stored without its terminating zero, as some writers do.
  for (const wchar_t* name : {L"text", L"bare"}) {
    const size_t length = text.size() + (name == std::wstring_view(L"text") ? 1 : 0);
    ASSERT_EQ(key.WriteValue(name, REG_SZ, text.c_str(),
                             static_cast<DWORD>(length * sizeof(wchar_t))),
              ERROR_SUCCESS);
    std::wstring read;
    EXPECT_EQ(key.ReadString(name, &read), ERROR_SUCCESS) << name;
    EXPECT_EQ(read, text) << name;
  }
  DWORD number = 0;
  EXPECT_EQ(key.ReadDWORD(L"number", &number), ERROR_SUCCESS);
  EXPECT_EQ(number, 0xFFFFFFFEu);

  std::wstring unchanged = L"kept";
  EXPECT_EQ(key.ReadString(L"number", &unchanged), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(unchanged, L"kept");
  EXPECT_EQ(key.ReadDWORD(L"text", &number), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(number, 0xFFFFFFFEu);

  EXPECT_EQ(key.DeleteValue(L"number"), ERROR_SUCCESS);
  EXPECT_EQ(key.ReadDWORD(L"number", &number), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key.DeleteValue(L"number"), ERROR_FILE_NOT_FOUND);
}

// Under HKLM\Software a 32-bit view key lives apart from the 64-bit one.
TEST(RegKeyTest, ViewFlagsChooseTheRegistryView) {
  TestKeyPath test;
  RegKey key;
  ASSERT_EQ(key.Create(HKEY_LOCAL_MACHINE, test.path(), KEY_ALL_ACCESS | KEY_WOW64_32KEY),
            ERROR_SUCCESS);
  ASSERT_EQ(key.WriteDWORD(L"view", 32), ERROR_SUCCESS);
  key.Close();
  EXPECT_FALSE(key);

  struct Case {
    REGSAM view;
    LONG expected;
  };
  for (const Case& c :
       {Case{KEY_WOW64_32KEY, ERROR_SUCCESS}, Case{KEY_WOW64_64KEY, ERROR_FILE_NOT_FOUND}}) {
    SCOPED_TRACE(c.view);
    EXPECT_EQ(key.Open(HKEY_LOCAL_MACHINE, test.path(), KEY_READ | c.view), c.expected);
    EXPECT_EQ(key.is_valid(), c.expected == ERROR_SUCCESS);
  }
}

}  // namespace
}  // namespace norva::installer
