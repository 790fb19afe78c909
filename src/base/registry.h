#ifndef NORVA_BASE_REGISTRY_H_
#define NORVA_BASE_REGISTRY_H_

#include <windows.h>

#include <string>

namespace norva::installer {

// An owned, open registry key. Every call returns the registry's own error
// code (ERROR_SUCCESS, ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED...), since
// callers tell "missing" from "refused".
class RegKey {
 public:
  RegKey() = default;
  ~RegKey() { Close(); }
  RegKey(RegKey&& other) noexcept;
  RegKey& operator=(RegKey&& other) noexcept;
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;

  // Both close the key held first. `access` may carry KEY_WOW64_32KEY or
  // KEY_WOW64_64KEY to choose the registry view.
  LONG Open(HKEY root, const std::wstring& subkey, REGSAM access);
  LONG Create(HKEY root, const std::wstring& subkey, REGSAM access, DWORD* disposition = nullptr);
  void Close();

  HKEY get() const { return key_; }
  bool is_valid() const { return key_ != nullptr; }
  explicit operator bool() const { return is_valid(); }
  HKEY release();

  // ERROR_UNSUPPORTED_TYPE when the value is there with another type.
  LONG ReadDWORD(const std::wstring& name, DWORD* value) const;
  LONG ReadString(const std::wstring& name, std::wstring* value) const;
  LONG WriteDWORD(const std::wstring& name, DWORD value) const;
  // Writes `size` bytes as they are, of any type.
  LONG WriteValue(const std::wstring& name, DWORD type, const void* data, DWORD size) const;
  LONG DeleteValue(const std::wstring& name) const;

 private:
  HKEY key_ = nullptr;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_REGISTRY_H_
