#ifndef NORVA_TESTS_SYSTEM_SCRATCH_KEY_H_
#define NORVA_TESTS_SYSTEM_SCRATCH_KEY_H_

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "base/strings.h"
#include "support/snapshot.h"
#include "system/transactions/delete_reg_key_operation.h"
#include "system/transactions/transaction.h"

namespace norva::installer::test {

// HKCU\Software\NorvaTest\<unique>, removed with everything below it (denying
// DACLs included) when the object goes.
class ScratchKey {
 public:
  ScratchKey() {
    static std::atomic<int> counter{0};
    path_ = StringPrintf(L"Software\\NorvaTest\\%lu_%d", GetCurrentProcessId(), counter++);
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    HKEY key = nullptr;
    RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegCloseKey(key);
  }
  ~ScratchKey() {
    Transaction cleanup;
    cleanup.Execute(std::make_unique<DeleteRegKeyOperation>(HKEY_CURRENT_USER, path_));
    cleanup.Commit();
    RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\NorvaTest");  // only when empty
  }
  ScratchKey(const ScratchKey&) = delete;
  ScratchKey& operator=(const ScratchKey&) = delete;

  const std::wstring& path() const { return path_; }
  std::wstring Sub(const std::wstring& relative) const { return path_ + L"\\" + relative; }

 private:
  std::wstring path_;
};

inline bool KeyExists(const std::wstring& path) { return KeyExists(HKEY_CURRENT_USER, path); }

// The value's bytes and type; false when it cannot be read.
inline bool ReadValue(const std::wstring& key_path, const std::wstring& name,
                      std::vector<BYTE>* data, DWORD* type) {
  DWORD size = 0;
  if (RegGetValueW(HKEY_CURRENT_USER, key_path.c_str(), name.c_str(), RRF_RT_ANY | RRF_NOEXPAND,
                   type, nullptr, &size) != ERROR_SUCCESS) {
    return false;
  }
  data->resize(size);
  return RegGetValueW(HKEY_CURRENT_USER, key_path.c_str(), name.c_str(),
                      RRF_RT_ANY | RRF_NOEXPAND, type, data->data(), &size) == ERROR_SUCCESS &&
         (data->resize(size), true);
}

inline bool WriteValue(const std::wstring& key_path, const std::wstring& name, DWORD type,
                       const void* data, DWORD size) {
  return RegSetKeyValueW(HKEY_CURRENT_USER, key_path.c_str(), name.c_str(), type, data, size) ==
         ERROR_SUCCESS;
}

inline bool WriteString(const std::wstring& key_path, const std::wstring& name,
                        const std::wstring& text) {
  return WriteValue(key_path, name, REG_SZ, text.c_str(),
                    static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SYSTEM_SCRATCH_KEY_H_
