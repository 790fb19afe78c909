#ifndef NORVA_BASE_COM_TYPES_H_
#define NORVA_BASE_COM_TYPES_H_

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

namespace norva::installer {

// An owned BSTR.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(std::wstring_view text)
      : value_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {}
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const { return value_; }
  // For out-parameters; frees what was held.
  BSTR* Receive() {
    SysFreeString(value_);
    value_ = nullptr;
    return &value_;
  }
  std::wstring str() const { return value_ ? std::wstring(value_, SysStringLen(value_)) : L""; }

 private:
  BSTR value_ = nullptr;
};

// An owned VARIANT; empty (VT_EMPTY) by default.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  explicit Variant(std::wstring_view text) : Variant() {
    value_.vt = VT_BSTR;
    value_.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  }
  explicit Variant(long number) : Variant() {
    value_.vt = VT_I4;
    value_.lVal = number;
  }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  // COM takes VARIANT arguments by value and does not free them.
  const VARIANT& get() const { return value_; }
  VARIANT* ptr() { return &value_; }

 private:
  VARIANT value_;
};

}  // namespace norva::installer

#endif  // NORVA_BASE_COM_TYPES_H_
