#ifndef NORVA_TESTS_SUPPORT_SNAPSHOT_H_
#define NORVA_TESTS_SUPPORT_SNAPSHOT_H_

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/strings.h"

namespace norva::installer::test {

// What a folder tree holds: every entry's relative name, and for files their
// size, content hash, attributes and last write time. Folder times are left
// out: they change whenever an entry comes and goes.
class FolderSnapshot {
 public:
  static FolderSnapshot Take(const std::filesystem::path& root);
  // One line per difference ("added", "removed", "changed: ..."); empty
  // when the trees are equal.
  std::string DifferencesTo(const FolderSnapshot& after) const;
  size_t size() const { return entries_.size(); }

 private:
  struct Entry {
    bool folder = false;
    uint64_t size = 0;
    uint64_t hash = 0;
    DWORD attributes = 0;
    uint64_t write_time = 0;
    bool operator==(const Entry&) const = default;
  };
  std::string Describe(const Entry& entry) const;

  std::map<std::wstring, Entry> entries_;
};

// What a registry subtree holds: every key with its values (type and bytes)
// and, when asked, its DACL in SDDL form.
class RegistrySnapshot {
 public:
  static RegistrySnapshot Take(HKEY root, const std::wstring& key_path, bool with_security = true);
  std::string DifferencesTo(const RegistrySnapshot& after) const;
  size_t size() const { return keys_.size(); }

 private:
  struct Value {
    DWORD type = 0;
    std::vector<BYTE> data;
    bool operator==(const Value&) const = default;
  };
  struct Key {
    std::string security;
    std::map<std::wstring, Value> values;
    bool operator==(const Key&) const = default;
  };
  void AddKey(HKEY key, const std::wstring& relative, bool with_security);

  std::map<std::wstring, Key> keys_;
};

// The DACL of a registry key in SDDL form; empty on failure.
std::string KeySecurityText(HKEY key);
// The same for a key of HKCU by its path; "(cannot open)" when it cannot be.
std::string KeySecurityText(const std::wstring& hkcu_path);
// Sets the DACL of an SDDL text on a key of HKCU.
bool SetKeySecurityText(const std::wstring& hkcu_path, const std::wstring& sddl);
// A REG_SZ value ("<missing>" when it cannot be read; null `name`: the
// default value), and whether a key exists.
std::wstring ReadRegString(HKEY root, const std::wstring& key, const wchar_t* name = nullptr);
bool WriteRegString(HKEY root, const std::wstring& key, const wchar_t* name,
                    const std::wstring& text);
bool KeyExists(HKEY root, const std::wstring& key);

// Keeps a registry key that tests must write although it is not theirs (the
// classes of "http", the start-menu client...): copied aside on
// construction, put back exactly as it was (or removed, when it did not
// exist) on destruction.
class RegistryKeyGuard {
 public:
  RegistryKeyGuard(HKEY root, std::wstring path) : root_(root), path_(std::move(path)) {
    static std::atomic<int> counter{0};
    backup_ = StringPrintf(L"Software\\NorvaTest\\backup_%lu_%d", GetCurrentProcessId(),
                           counter++);
    before_ = RegistrySnapshot::Take(root_, path_, false);
    // Parents that the test's writes will create are removed again too.
    for (size_t at = path_.rfind(L'\\'); at != std::wstring::npos && at > 0;
         at = path_.rfind(L'\\', at - 1)) {
      std::wstring parent = path_.substr(0, at);
      HKEY key = nullptr;
      if (RegOpenKeyExW(root_, parent.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
        RegCloseKey(key);
        break;
      }
      created_parents_.push_back(parent);
    }
    HKEY key = nullptr;
    existed_ = RegOpenKeyExW(root_, path_.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS;
    if (existed_) {
      HKEY copy = nullptr;
      RegCreateKeyExW(HKEY_CURRENT_USER, backup_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                      &copy, nullptr);
      RegCopyTreeW(key, nullptr, copy);
      RegCloseKey(copy);
      RegCloseKey(key);
    }
  }
  ~RegistryKeyGuard() {
    RegDeleteTreeW(root_, path_.c_str());
    RegDeleteKeyW(root_, path_.c_str());
    if (existed_) {
      HKEY key = nullptr, copy = nullptr;
      RegCreateKeyExW(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
      if (RegOpenKeyExW(HKEY_CURRENT_USER, backup_.c_str(), 0, KEY_READ, &copy) == ERROR_SUCCESS) {
        RegCopyTreeW(copy, nullptr, key);
        RegCloseKey(copy);
      }
      RegCloseKey(key);
      RegDeleteTreeW(HKEY_CURRENT_USER, backup_.c_str());
      RegDeleteKeyW(HKEY_CURRENT_USER, backup_.c_str());
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\NorvaTest");  // only when empty
    for (const std::wstring& parent : created_parents_) RegDeleteKeyW(root_, parent.c_str());
  }
  RegistryKeyGuard(const RegistryKeyGuard&) = delete;
  RegistryKeyGuard& operator=(const RegistryKeyGuard&) = delete;

  // What the test changed so far ("" when nothing).
  std::string Changes() const {
    return before_.DifferencesTo(RegistrySnapshot::Take(root_, path_, false));
  }

 private:
  HKEY root_;
  std::wstring path_;
  std::wstring backup_;
  bool existed_ = false;
  std::vector<std::wstring> created_parents_;  // deepest first
  RegistrySnapshot before_;
};
// Sets the DACL of an SDDL text ("D:P(A;;FR;;;WD)") on a file or folder.
bool SetFileSecurityText(const std::filesystem::path& path, const wchar_t* sddl);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_SNAPSHOT_H_
