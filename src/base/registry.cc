#include "base/registry.h"

#include <utility>

namespace norva::installer {

RegKey::RegKey(RegKey&& other) noexcept : key_(other.release()) {}

RegKey& RegKey::operator=(RegKey&& other) noexcept {
  if (this != &other) {
    Close();
    key_ = other.release();
  }
  return *this;
}

LONG RegKey::Open(HKEY root, const std::wstring& subkey, REGSAM access) {
  Close();
  LONG result = RegOpenKeyExW(root, subkey.c_str(), 0, access, &key_);
  if (result != ERROR_SUCCESS) key_ = nullptr;
  return result;
}

LONG RegKey::Create(HKEY root, const std::wstring& subkey, REGSAM access, DWORD* disposition) {
  Close();
  LONG result = RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access,
                                nullptr, &key_, disposition);
  if (result != ERROR_SUCCESS) key_ = nullptr;
  return result;
}

void RegKey::Close() {
  if (key_) RegCloseKey(key_);
  key_ = nullptr;
}

HKEY RegKey::release() { return std::exchange(key_, nullptr); }

LONG RegKey::ReadDWORD(const std::wstring& name, DWORD* value) const {
  DWORD read = 0;
  DWORD size = sizeof(read);
  LONG result = RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &read, &size);
  if (result == ERROR_SUCCESS) *value = read;
  return result;
}

LONG RegKey::ReadString(const std::wstring& name, std::wstring* value) const {
  DWORD size = 0;
  LONG result = RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &size);
  if (result != ERROR_SUCCESS) return result;
  std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
  size = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
  result = RegGetValueW(key_, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, buffer.data(), &size);
  if (result != ERROR_SUCCESS) return result;
  buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
  *value = std::move(buffer);
  return ERROR_SUCCESS;
}

LONG RegKey::WriteDWORD(const std::wstring& name, DWORD value) const {
  return WriteValue(name, REG_DWORD, &value, sizeof(value));
}

LONG RegKey::WriteValue(const std::wstring& name, DWORD type, const void* data, DWORD size) const {
  return RegSetValueExW(key_, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

LONG RegKey::DeleteValue(const std::wstring& name) const {
  return RegDeleteValueW(key_, name.c_str());
}

}  // namespace norva::installer
