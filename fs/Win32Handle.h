// Move-only owners of Win32 handles, one per kind, so that no path closes a handle or releases
// a mutex by hand: UniqueHandle closes what it holds, HeldMutex releases the mutex it holds.
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

// A mutex held by this thread, released when the owner goes. It does not own the mutex's
// handle, which must outlive it.
class HeldMutex {
 public:
  HeldMutex() = default;
  // Waits for the mutex `milliseconds` at most; Held() tells whether it was had. An abandoned
  // mutex (its holder ended without letting go) is had, and good.
  HeldMutex(HANDLE mutex, DWORD milliseconds) {
    if (mutex == nullptr) return;
    const DWORD waited = ::WaitForSingleObject(mutex, milliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) mutex_ = mutex;
  }
  HeldMutex(const HeldMutex&) = delete;
  HeldMutex& operator=(const HeldMutex&) = delete;
  HeldMutex(HeldMutex&& other) noexcept : mutex_(std::exchange(other.mutex_, nullptr)) {}
  HeldMutex& operator=(HeldMutex&& other) noexcept {
    if (this != &other) {
      Release();
      mutex_ = std::exchange(other.mutex_, nullptr);
    }
    return *this;
  }
  ~HeldMutex() { Release(); }

  bool Held() const { return mutex_ != nullptr; }
  // Lets go now; false when the release failed.
  bool Release() { return mutex_ == nullptr || ::ReleaseMutex(std::exchange(mutex_, nullptr)); }

 private:
  HANDLE mutex_ = nullptr;
};

}  // namespace calendario
