// The move-only owner of a Win32 handle, so that no path closes one by hand; a lock held
// through a handle goes with it.
#pragma once

#include <windows.h>

#include <utility>

namespace calendario {

class UniqueHandle {
 public:
  UniqueHandle() = default;
  // Takes `handle`, which may be null or INVALID_HANDLE_VALUE (what failed calls return).
  explicit UniqueHandle(HANDLE handle)
      : handle_(handle == INVALID_HANDLE_VALUE ? nullptr : handle) {}
  UniqueHandle(const UniqueHandle&) = delete;
  UniqueHandle& operator=(const UniqueHandle&) = delete;
  UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  UniqueHandle& operator=(UniqueHandle&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.handle_, nullptr));
    return *this;
  }
  ~UniqueHandle() { Reset(); }

  HANDLE Get() const { return handle_; }
  explicit operator bool() const { return handle_ != nullptr; }
  // Closes what is held; false when the close failed (the handle is let go of all the same).
  bool Close() { return handle_ == nullptr || ::CloseHandle(std::exchange(handle_, nullptr)); }
  void Reset(HANDLE handle = nullptr) {
    if (handle_ != nullptr) ::CloseHandle(handle_);
    handle_ = handle == INVALID_HANDLE_VALUE ? nullptr : handle;
  }

 private:
  HANDLE handle_ = nullptr;
};

}  // namespace calendario
