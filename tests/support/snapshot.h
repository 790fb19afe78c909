#ifndef NORVA_TESTS_SUPPORT_SNAPSHOT_H_
#define NORVA_TESTS_SUPPORT_SNAPSHOT_H_

#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

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
bool KeyExists(HKEY root, const std::wstring& key);
// Sets the DACL of an SDDL text ("D:P(A;;FR;;;WD)") on a file or folder.
bool SetFileSecurityText(const std::filesystem::path& path, const wchar_t* sddl);

}  // namespace norva::installer::test

#endif  // NORVA_TESTS_SUPPORT_SNAPSHOT_H_
