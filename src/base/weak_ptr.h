#ifndef NORVA_BASE_WEAK_PTR_H_
#define NORVA_BASE_WEAK_PTR_H_

#include <atomic>
#include <functional>
#include <memory>
#include <type_traits>
#include <utility>

#include "base/task_runner.h"

namespace norva::installer {

namespace internal {

// Shared by the factory and its weak pointers. A weak pointer may be copied
// and destroyed on any thread, but it is only dereferenced on the owner's
// thread, where the flag is also cleared.
struct WeakFlag {
  std::atomic<bool> valid{true};
};

}  // namespace internal

// A pointer that turns null when its object goes (or when the factory
// invalidates it). Made by WeakPtrFactory.
template <typename T>
class WeakPtr {
 public:
  WeakPtr() = default;
  WeakPtr(std::nullptr_t) {}
  template <typename U, typename = std::enable_if_t<std::is_convertible_v<U*, T*>>>
  WeakPtr(const WeakPtr<U>& other) : flag_(other.flag_), ptr_(other.ptr_) {}

  T* get() const { return flag_ && flag_->valid ? ptr_ : nullptr; }
  T* operator->() const { return get(); }
  T& operator*() const { return *get(); }
  explicit operator bool() const { return get() != nullptr; }
  void reset() {
    flag_.reset();
    ptr_ = nullptr;
  }

 private:
  template <typename U>
  friend class WeakPtr;
  template <typename U>
  friend class WeakPtrFactory;
  WeakPtr(std::shared_ptr<internal::WeakFlag> flag, T* ptr) : flag_(std::move(flag)), ptr_(ptr) {}

  std::shared_ptr<internal::WeakFlag> flag_;
  T* ptr_ = nullptr;
};

// Hands out weak pointers to its owner. Make it the owner's last member, so
// that it goes first and no callback can reach a half-destroyed object.
template <typename T>
class WeakPtrFactory {
 public:
  explicit WeakPtrFactory(T* owner) : owner_(owner) {}
  ~WeakPtrFactory() { InvalidateWeakPtrs(); }
  WeakPtrFactory(const WeakPtrFactory&) = delete;
  WeakPtrFactory& operator=(const WeakPtrFactory&) = delete;

  WeakPtr<T> GetWeakPtr() {
    if (!flag_) flag_ = std::make_shared<internal::WeakFlag>();
    return WeakPtr<T>(flag_, owner_);
  }
  // Every weak pointer handed out so far turns null; new ones work.
  void InvalidateWeakPtrs() {
    if (!flag_) return;
    flag_->valid = false;
    flag_.reset();
  }
  bool HasWeakPtrs() const { return flag_ && flag_.use_count() > 1; }

 private:
  T* const owner_;
  std::shared_ptr<internal::WeakFlag> flag_;
};

// A closure that calls `method` on the object with `args` (copied), or does
// nothing once the object has gone. Run it on the object's thread.
template <typename T, typename Method, typename... Args>
Closure BindWeak(WeakPtr<T> weak, Method method, Args... args) {
  return [weak = std::move(weak), method, args...]() mutable {
    if (T* object = weak.get()) std::invoke(method, object, args...);
  };
}

}  // namespace norva::installer

#endif  // NORVA_BASE_WEAK_PTR_H_
