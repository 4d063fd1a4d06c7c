// POSIX only.
#include "fs/PosixTurns.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>

namespace calendario {
namespace {

constexpr const char* kTurnFile = ".calendario-turns";
constexpr int kTurnFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::error_code LastError() {
  return {errno, std::generic_category()};
}

// The byte of the turn file that stands for the entry `key` (FNV-1a, kept below 2^62).
off_t ByteOf(std::u16string_view key) {
  std::uint64_t hash = 14695981039346656037ull;
  for (char16_t c : key) hash = (hash ^ c) * 1099511628211ull;
  return static_cast<off_t>(hash >> 2);
}

// The folder's turn file, made when missing: readable and writable by whoever may write in
// the folder (its owner, its group, everyone, as the folder says), and by no one else.
int OpenTurnFile(int folder) {
  const int fd = ::openat(folder, kTurnFile, kTurnFlags);
  if (fd >= 0 || errno != ENOENT) return fd;
  struct stat st;
  if (::fstat(folder, &st) != 0) return -1;
  Fd made(::openat(folder, kTurnFile, kTurnFlags | O_CREAT | O_EXCL, 0600));
  if (!made) return errno == EEXIST ? ::openat(folder, kTurnFile, kTurnFlags) : -1;
  mode_t mode = S_IRUSR | S_IWUSR;
  if (st.st_mode & S_IWGRP) mode |= S_IRGRP | S_IWGRP;
  if (st.st_mode & S_IWOTH) mode |= S_IROTH | S_IWOTH;
  // Set as it stands, whatever the umask took away.
  if (mode != (S_IRUSR | S_IWUSR) && ::fchmod(made.Get(), mode) != 0) return -1;
  return made.Release();
}

}  // namespace

std::error_code PosixTurns::Take(int folder, std::u16string_view folderKey, std::u16string_view key,
                                 Held*& turn) {
  for (const auto& held : held_) {
    if (held->folderKey == folderKey && held->key == key) {
      ++held->taken;
      turn = held.get();
      return {};
    }
  }
  auto held = std::make_unique<Held>(Held{std::u16string(folderKey), std::u16string(key), Fd(), 1});
  held->file.Reset(OpenTurnFile(folder));
  if (!held->file) return LastError();
  struct flock byte {};
  byte.l_type = F_WRLCK;
  byte.l_whence = SEEK_SET;
  byte.l_start = ByteOf(key);
  byte.l_len = 1;
  while (::fcntl(held->file.Get(), F_OFD_SETLK, &byte) != 0) {
    if (errno != EAGAIN && errno != EACCES && errno != EINTR) return LastError();
    if (Clock::now() >= until_) return std::make_error_code(std::errc::timed_out);
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  turn = held.get();
  held_.push_back(std::move(held));
  return {};
}

void PosixTurns::Give(Held* turn) {
  if (--turn->taken > 0) return;
  // Closing the turn file lets go of its lock.
  std::erase_if(held_, [turn](const auto& held) { return held.get() == turn; });
}

}  // namespace calendario
