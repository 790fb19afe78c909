#include "system/global_storage.h"

#include <windows.h>

#include <optional>

#include <gtest/gtest.h>

#include "base/command_line.h"
#include "base/file_util.h"
#include "base/json.h"
#include "base/process.h"
#include "base/strings.h"
#include "product/product_info.h"
#include "support/object_acl.h"
#include "support/scratch.h"
#include "support/snapshot.h"

namespace norva::installer {
namespace {

std::wstring CurrentUserSid() { return Utf8ToWide(test::TokenUserSid()); }

class GlobalStorageTest : public testing::Test {
 protected:
  void SetUp() override {
    company_ = StringPrintf("NorvaGsTest%lu", GetCurrentProcessId());
    key_path_ = L"Software\\" + Utf8ToWide(company_);
    product::SetBrandingForTesting("{\"company_name\": \"" + company_ + "\"}");
    DeleteKey();
    GlobalStorage::ResetForTesting();
  }

  void TearDown() override {
    GlobalStorage::ResetForTesting();
    DeleteKey();
    product::ResetBrandingForTesting();
  }

  void DeleteKey() {
    test::SetKeySecurityText(key_path_, L"D:(A;;KA;;;" + CurrentUserSid() + L")");
    RegDeleteTreeW(HKEY_CURRENT_USER, key_path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, key_path_.c_str());
  }

  // Makes the company key one the user may read but not write.
  void DenyWriting() {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, key_path_.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegCloseKey(key);
    std::wstring sid = CurrentUserSid();
    ASSERT_TRUE(
        test::SetKeySecurityText(key_path_, L"D:P(D;;0x6;;;" + sid + L")(A;;KA;;;" + sid + L")"));
    ASSERT_EQ(ERROR_ACCESS_DENIED,
              RegCreateKeyExW(HKEY_CURRENT_USER, key_path_.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr))
        << "the registry does not enforce the key's access list";
  }

  std::optional<std::wstring> RegistryValue(const std::string& name) {
    wchar_t buffer[256];
    DWORD size = sizeof(buffer);
    if (RegGetValueW(HKEY_CURRENT_USER, key_path_.c_str(), Utf8ToWide(name).c_str(),
                     RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
      return std::nullopt;
    return std::wstring(buffer);
  }

  std::filesystem::path FallbackFile() const { return scratch_.path() / L"au_global_storage"; }

  nlohmann::json FallbackDocument() {
    nlohmann::json document;
    return ReadJsonFile(FallbackFile(), &document) ? document : nlohmann::json();
  }

  GlobalStorage* storage() { return GlobalStorage::GetInstance(); }

  // What Get gives for `name`, after checking that it answers `expected`.
  std::string Got(const std::string& name, int expected = GlobalStorage::kSuccess) {
    std::string value = "stale";
    EXPECT_EQ(expected, storage()->Get(name, &value)) << name;
    return value;
  }

  std::string company_;
  std::wstring key_path_;
  test::ScratchFolder scratch_;
};

TEST_F(GlobalStorageTest, RegistryValuesRoundTrip) {
  EXPECT_EQ("", Got("UUID"));
  EXPECT_EQ(GlobalStorage::kInvalidArgument, storage()->Set("", "x"));
  Got("", GlobalStorage::kInvalidArgument);

  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "5f0c-11e6"));
  EXPECT_EQ(L"5f0c-11e6", RegistryValue("UUID").value_or(L"<none>"));
  EXPECT_EQ("5f0c-11e6", Got("UUID"));

  // Text other than ASCII is stored as the same characters.
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("Place", "Z\xC3\xBCrich"));
  EXPECT_EQ(L"Z\u00FCrich", RegistryValue("Place").value_or(L"<none>"));
  EXPECT_EQ("Z\xC3\xBCrich", Got("Place"));

  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", ""));
  EXPECT_FALSE(RegistryValue("UUID"));
  EXPECT_EQ("", Got("UUID"));
  // Removing from a key that does not exist is no failure.
  DeleteKey();
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", ""));
  EXPECT_FALSE(PathExists(FallbackFile()));
}

TEST_F(GlobalStorageTest, ExistingFallbackFileIsKeptInStep) {
  test::WriteFile(FallbackFile(), R"({"GS": {}, "other": 1})");
  storage()->Initialize(scratch_.path());
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "abc"));
  EXPECT_EQ(L"abc", RegistryValue("UUID").value_or(L"<none>"));
  nlohmann::json document = FallbackDocument();
  EXPECT_EQ("abc", document["GS"]["UUID"]);
  EXPECT_EQ(1, document["other"]);

  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", ""));
  EXPECT_FALSE(RegistryValue("UUID"));
  EXPECT_EQ(nlohmann::json::object(), FallbackDocument()["GS"]);
}

TEST_F(GlobalStorageTest, InitializeMovesFallbackValuesIntoTheRegistryOnce) {
  test::WriteFile(FallbackFile(), R"({"GS": {"UUID": "u-1", "Channel": "beta", "Count": 5}})");
  storage()->Initialize(scratch_.path());
  EXPECT_EQ(L"u-1", RegistryValue("UUID").value_or(L"<none>"));
  EXPECT_EQ(L"beta", RegistryValue("Channel").value_or(L"<none>"));
  EXPECT_FALSE(RegistryValue("Count"));
  // Migration writes the registry only.
  EXPECT_EQ(5, FallbackDocument()["GS"]["Count"]);

  // After a value has reached the registry the file is not copied again.
  test::WriteFile(FallbackFile(), R"({"GS": {"UUID": "u-2"}})");
  storage()->Initialize(scratch_.path());
  EXPECT_EQ(L"u-1", RegistryValue("UUID").value_or(L"<none>"));
}

TEST_F(GlobalStorageTest, UnwritableCompanyKeyIsServedFromTheFallbackFile) {
  ASSERT_NO_FATAL_FAILURE(DenyWriting());
  test::WriteFile(FallbackFile(), R"({"GS": {"UUID": "from-file"}})");
  storage()->Initialize(scratch_.path());  // no migration in this mode
  EXPECT_FALSE(RegistryValue("UUID"));

  EXPECT_EQ("from-file", Got("UUID"));
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "new"));
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("Channel", "beta"));
  EXPECT_EQ("new", Got("UUID"));
  EXPECT_FALSE(RegistryValue("UUID"));
  Got("Never", GlobalStorage::kFailure);
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", ""));
  EXPECT_EQ((nlohmann::json{{"Channel", "beta"}}), FallbackDocument()["GS"]);

  // A file without values answers "nothing stored"; a damaged one fails.
  test::WriteFile(FallbackFile(), R"({"other": true})");
  EXPECT_EQ("", Got("UUID"));
  test::WriteFile(FallbackFile(), R"({"GS": 5})");
  Got("UUID", GlobalStorage::kFailure);
}

TEST_F(GlobalStorageTest, FallbackWriteFailuresAreReported) {
  ASSERT_NO_FATAL_FAILURE(DenyWriting());
  storage()->Initialize(scratch_.path() / L"no such folder");
  test::LogCapture log;
  EXPECT_EQ(GlobalStorage::kFailure, storage()->Set("UUID", "x"));
  EXPECT_TRUE(log.Contains("[AU] GS: Writing to a fallback storage failed"));
}

TEST_F(GlobalStorageTest, UnreadableFallbackFileIsNotReplaced) {
  ASSERT_NO_FATAL_FAILURE(DenyWriting());
  const std::string original = R"({"GS": {"UUID": "keep me"}})";
  test::WriteFile(FallbackFile(), original);
  storage()->Initialize(scratch_.path());
  // Another program holds the file open for itself alone.
  HANDLE locked = CreateFileW(FallbackFile().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, locked);
  EXPECT_EQ(GlobalStorage::kFailure, storage()->Set("Channel", "beta"));
  CloseHandle(locked);
  EXPECT_EQ(original, test::ReadFile(FallbackFile()));
}

TEST_F(GlobalStorageTest, RegistryFailuresAreReported) {
  storage();  // the key is writable when the storage looks at it
  ASSERT_NO_FATAL_FAILURE(DenyWriting());
  test::LogCapture log;
  EXPECT_EQ(GlobalStorage::kFailure, storage()->Set("UUID", "x"));
  EXPECT_TRUE(log.Contains("[AU] GS: Creating reg key failed with: 5"));
  EXPECT_EQ(GlobalStorage::kFailure, storage()->Set("UUID", ""));
  EXPECT_TRUE(log.Contains("[AU] GS: Deleting reg value failed with: 5"));
}

// Starts tests/system/mutex_holder.exe, which owns the access mutex until
// told to let go.
class MutexHolder {
 public:
  explicit MutexHolder(bool abandon) {
    std::string tag = StringPrintf("norva_gs_test_%lu", GetCurrentProcessId());
    ready_.reset(CreateEventA(nullptr, TRUE, FALSE, (tag + "_ready").c_str()));
    stop_.reset(CreateEventA(nullptr, TRUE, FALSE, (tag + "_stop").c_str()));
    process_ = LaunchProcess(
        QuoteArgument((GetExecutablePath().parent_path() / L"mutex_holder.exe").native()) + L" " +
        Utf8ToWide(tag + "_ready " + tag + "_stop") + (abandon ? L" abandon" : L""));
    HANDLE waits[] = {ready_.get(), process_.handle()};
    holding_ =
        process_.IsValid() && WaitForMultipleObjects(2, waits, FALSE, 30000) == WAIT_OBJECT_0;
  }
  ~MutexHolder() { Stop(); }

  bool holding() const { return holding_; }
  // Lets go of the mutex (or waits for an abandoning holder to end).
  void Stop() {
    SetEvent(stop_.get());
    process_.WaitForExit(30000);
  }

 private:
  ScopedHandle ready_, stop_;
  Process process_;
  bool holding_ = false;
};

TEST_F(GlobalStorageTest, AnotherProcessHoldingTheMutexMakesCallsBusy) {
  ASSERT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "before"));
  MutexHolder holder(false);
  ASSERT_TRUE(holder.holding());
  test::LogCapture log;
  EXPECT_EQ("", Got("UUID", GlobalStorage::kBusy));
  EXPECT_TRUE(log.Lines().empty());
  EXPECT_EQ(GlobalStorage::kInvalidArgument, storage()->Set("", "x"));
  EXPECT_EQ(GlobalStorage::kBusy, storage()->Set("UUID", "during"));
  EXPECT_TRUE(log.Contains("[AU] GS: Couldn't get hold on an access mutex"));
  EXPECT_EQ(L"before", RegistryValue("UUID").value_or(L"<none>"));

  holder.Stop();
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "after"));
  EXPECT_EQ(L"after", RegistryValue("UUID").value_or(L"<none>"));
}

TEST_F(GlobalStorageTest, MutexOfADeadHolderIsTakenOver) {
  // The storage keeps its handle, so the mutex outlives its holder, abandoned.
  ASSERT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "before"));
  MutexHolder holder(true);
  ASSERT_TRUE(holder.holding());
  holder.Stop();
  EXPECT_EQ(GlobalStorage::kSuccess, storage()->Set("UUID", "taken over"));
  EXPECT_EQ("taken over", Got("UUID"));
}

}  // namespace
}  // namespace norva::installer
