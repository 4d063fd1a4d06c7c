// A move-only owner of a POSIX file descriptor, which closes it when released; and what every
// part of the POSIX backend does alike with descriptors: how a folder is opened, and how a
// failed call is told.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>

namespace calendario {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  ~Fd() { Reset(); }

  int Get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  // Hands the descriptor over, owning nothing any more.
  int Release() { return std::exchange(fd_, -1); }
  // Closes what is held; false when the close failed (the descriptor is let go of all the same).
  bool Close() { return fd_ < 0 || ::close(std::exchange(fd_, -1)) == 0; }
  // Closes what is held (a close that fails has still let go of it) and holds `fd` instead.
  void Reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// A folder handle is only ever a place to look names up from: O_PATH asks a network share
// nothing to open it or to let go of it. Links to folders are followed.
inline constexpr int kFolderOpenFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

// The failure the call just made left in errno.
inline std::error_code LastError() {
  return {errno, std::generic_category()};
}

}  // namespace calendario
