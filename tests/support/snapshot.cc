#include "support/snapshot.h"

#include <aclapi.h>
#include <sddl.h>

#include "base/strings.h"

namespace norva::installer::test {
namespace {

// FNV-1a: enough to tell contents apart in a test.
uint64_t HashFile(const std::filesystem::path& path, uint64_t* size) {
  uint64_t hash = 1469598103934665603ull;
  *size = 0;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 0;
  BYTE buffer[16384];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read) {
    *size += read;
    for (DWORD i = 0; i < read; ++i) hash = (hash ^ buffer[i]) * 1099511628211ull;
  }
  CloseHandle(file);
  return hash;
}

std::string Hex(const std::vector<BYTE>& bytes) {
  std::string text;
  for (BYTE byte : bytes) text += StringPrintf("%02x", byte);
  return text;
}

template <typename Map, typename Describe>
std::string Compare(const Map& before, const Map& after, Describe describe) {
  std::string lines;
  for (const auto& [name, entry] : before) {
    auto found = after.find(name);
    if (found == after.end())
      lines += "removed: " + WideToUtf8(name) + "\n";
    else if (!(found->second == entry))
      lines += "changed: " + WideToUtf8(name) + ": " + describe(entry) + " -> " +
               describe(found->second) + "\n";
  }
  for (const auto& [name, entry] : after)
    if (!before.count(name)) lines += "added: " + WideToUtf8(name) + "\n";
  return lines;
}

}  // namespace

FolderSnapshot FolderSnapshot::Take(const std::filesystem::path& root) {
  FolderSnapshot snapshot;
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end;
       it.increment(error)) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(it->path().c_str(), GetFileExInfoStandard, &data)) continue;
    Entry entry;
    entry.folder = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.attributes = data.dwFileAttributes;
    if (!entry.folder) {
      entry.hash = HashFile(it->path(), &entry.size);
      entry.write_time = (uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                         data.ftLastWriteTime.dwLowDateTime;
    }
    snapshot.entries_[it->path().lexically_relative(root).native()] = entry;
  }
  return snapshot;
}

std::string FolderSnapshot::Describe(const Entry& entry) const {
  if (entry.folder) return StringPrintf("folder attributes %lx", entry.attributes);
  return StringPrintf("%llu bytes hash %016llx attributes %lx time %llu",
                      static_cast<unsigned long long>(entry.size),
                      static_cast<unsigned long long>(entry.hash), entry.attributes,
                      static_cast<unsigned long long>(entry.write_time));
}

std::string FolderSnapshot::DifferencesTo(const FolderSnapshot& after) const {
  return Compare(entries_, after.entries_, [this](const Entry& entry) { return Describe(entry); });
}

bool SetFileSecurityText(const std::filesystem::path& path, const wchar_t* sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor,
                                                            nullptr)) {
    return false;
  }
  BOOL present = FALSE, defaulted = FALSE;
  PACL dacl = nullptr;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  bool set = GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) &&
             GetSecurityDescriptorControl(descriptor, &control, &revision) &&
             SetNamedSecurityInfoW(const_cast<wchar_t*>(path.c_str()), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION |
                                       (control & SE_DACL_PROTECTED
                                            ? PROTECTED_DACL_SECURITY_INFORMATION
                                            : UNPROTECTED_DACL_SECURITY_INFORMATION),
                                   nullptr, nullptr, dacl, nullptr) == ERROR_SUCCESS;
  LocalFree(descriptor);
  return set;
}

std::string KeySecurityText(HKEY key) {
  // Owner and group are left out: a rebuilt key belongs to whoever rebuilt
  // it, and Wine gives it the token's primary group whatever it is told.
  const SECURITY_INFORMATION parts = DACL_SECURITY_INFORMATION;
  DWORD size = 0;
  RegGetKeySecurity(key, parts, nullptr, &size);
  std::vector<BYTE> descriptor(size);
  wchar_t* text = nullptr;
  if (!size || RegGetKeySecurity(key, parts, descriptor.data(), &size) != ERROR_SUCCESS ||
      !ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor.data(), SDDL_REVISION_1,
                                                            parts, &text, nullptr)) {
    return std::string();
  }
  std::string result = WideToUtf8(text);
  LocalFree(text);
  return result;
}

std::string KeySecurityText(const std::wstring& hkcu_path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, hkcu_path.c_str(), 0, READ_CONTROL, &key) != ERROR_SUCCESS)
    return "(cannot open)";
  std::string text = KeySecurityText(key);
  RegCloseKey(key);
  return text;
}

bool SetKeySecurityText(const std::wstring& hkcu_path, const std::wstring& sddl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1,
                                                            &descriptor, nullptr)) {
    return false;
  }
  HKEY key = nullptr;
  bool set = RegOpenKeyExW(HKEY_CURRENT_USER, hkcu_path.c_str(), 0, WRITE_DAC, &key) ==
                 ERROR_SUCCESS &&
             RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor) == ERROR_SUCCESS;
  if (key) RegCloseKey(key);
  LocalFree(descriptor);
  return set;
}

std::wstring ReadRegString(HKEY root, const std::wstring& key, const wchar_t* name) {
  wchar_t buffer[2048] = {};  // an empty value fills none of it
  DWORD size = sizeof(buffer);
  if (RegGetValueW(root, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS)
    return L"<missing>";
  return buffer;
}

bool WriteRegString(HKEY root, const std::wstring& key, const wchar_t* name,
                    const std::wstring& text) {
  return RegSetKeyValueW(root, key.c_str(), name, REG_SZ, text.c_str(),
                         static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool KeyExists(HKEY root, const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
    return false;
  RegCloseKey(handle);
  return true;
}

RegistrySnapshot RegistrySnapshot::Take(HKEY root, const std::wstring& key_path,
                                        bool with_security) {
  RegistrySnapshot snapshot;
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, key_path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
    snapshot.AddKey(key, L".", with_security);
    RegCloseKey(key);
  }
  return snapshot;
}

void RegistrySnapshot::AddKey(HKEY key, const std::wstring& relative, bool with_security) {
  Key& entry = keys_[relative];
  if (with_security) entry.security = KeySecurityText(key);
  wchar_t name[16384];
  for (DWORD index = 0;; ++index) {
    DWORD name_length = 16384, size = 0, type = 0;
    if (RegEnumValueW(key, index, name, &name_length, nullptr, &type, nullptr, &size) !=
        ERROR_SUCCESS) {
      break;
    }
    Value value{type, std::vector<BYTE>(size)};
    RegQueryValueExW(key, name, nullptr, nullptr, value.data.data(), &size);
    entry.values[std::wstring(L"value ") + name] = value;
  }
  for (DWORD index = 0;; ++index) {
    DWORD name_length = 256;
    if (RegEnumKeyExW(key, index, name, &name_length, nullptr, nullptr, nullptr, nullptr) !=
        ERROR_SUCCESS) {
      break;
    }
    HKEY child = nullptr;
    std::wstring child_path = relative + L"\\" + name;
    if (RegOpenKeyExW(key, name, 0, KEY_READ, &child) != ERROR_SUCCESS) {
      keys_[child_path].security = "(cannot open)";
      continue;
    }
    AddKey(child, child_path, with_security);
    RegCloseKey(child);
  }
}

std::string RegistrySnapshot::DifferencesTo(const RegistrySnapshot& after) const {
  return Compare(keys_, after.keys_, [](const Key& key) {
    std::string text = key.security;
    for (const auto& [name, value] : key.values)
      text += " [" + WideToUtf8(name) + StringPrintf(" type %lu ", value.type) + Hex(value.data) + "]";
    return text;
  });
}

}  // namespace norva::installer::test
