#ifndef NORVA_BASE_SCOPED_HANDLE_H_
#define NORVA_BASE_SCOPED_HANDLE_H_

#include <windows.h>

#include <utility>

namespace norva::installer {

// Owns one handle of the kind that `Traits` describes and closes it exactly
// once. Traits gives the handle type (Handle), the empty value (Null()), what
// counts as a live handle (IsValid) and how one is closed (Close).
template <typename Traits>
class ScopedGeneric {
 public:
  using Handle = typename Traits::Handle;

  ScopedGeneric() = default;
  explicit ScopedGeneric(Handle handle) : handle_(handle) {}
  ~ScopedGeneric() { reset(); }
  ScopedGeneric(ScopedGeneric&& other) noexcept : handle_(other.release()) {}
  ScopedGeneric& operator=(ScopedGeneric&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ScopedGeneric(const ScopedGeneric&) = delete;
  ScopedGeneric& operator=(const ScopedGeneric&) = delete;

  Handle get() const { return handle_; }
  bool is_valid() const { return Traits::IsValid(handle_); }
  explicit operator bool() const { return is_valid(); }

  // Gives the handle up without closing it.
  Handle release() { return std::exchange(handle_, Traits::Null()); }
  // Closes the handle held, if any, and takes `handle` instead.
  void reset(Handle handle = Traits::Null()) {
    Handle old = std::exchange(handle_, handle);
    if (old != handle && Traits::IsValid(old)) Traits::Close(old);
  }
  // Closes the handle now. False when none was held or the close failed,
  // which is where a file's delayed write errors show.
  bool Close() {
    Handle old = release();
    return Traits::IsValid(old) && Traits::Close(old);
  }
  // Closes the handle held and lends the empty slot to a function that
  // returns a new handle through a pointer.
  Handle* Receive() {
    reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Null();
};

// Kernel object handles. Creation functions disagree on how they fail (nullptr
// or INVALID_HANDLE_VALUE), so both mean "none".
struct KernelHandleTraits {
  using Handle = HANDLE;
  static HANDLE Null() { return nullptr; }
  static bool IsValid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE handle) { return CloseHandle(handle) != FALSE; }
};
using ScopedHandle = ScopedGeneric<KernelHandleTraits>;

// Searches started with FindFirstFile.
struct FindHandleTraits {
  using Handle = HANDLE;
  static HANDLE Null() { return INVALID_HANDLE_VALUE; }
  static bool IsValid(HANDLE handle) { return handle && handle != INVALID_HANDLE_VALUE; }
  static bool Close(HANDLE handle) { return FindClose(handle) != FALSE; }
};
using ScopedFindHandle = ScopedGeneric<FindHandleTraits>;

// Memory that system functions allocate with LocalAlloc, typed as they hand
// it out (PSECURITY_DESCRIPTOR, PACL, wchar_t**...).
template <typename Pointer>
struct LocalMemoryTraits {
  using Handle = Pointer;
  static Pointer Null() { return nullptr; }
  static bool IsValid(Pointer pointer) { return pointer != nullptr; }
  static bool Close(Pointer pointer) { return LocalFree(pointer) == nullptr; }
};
template <typename Pointer = HLOCAL>
using ScopedLocalMemory = ScopedGeneric<LocalMemoryTraits<Pointer>>;

}  // namespace norva::installer

#endif  // NORVA_BASE_SCOPED_HANDLE_H_
