// POSIX only.
#include "fs/PosixTurns.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>

namespace calendario {
namespace {

// The byte a file's turn is: far past any end a file reaches.
constexpr off_t kTurnByte = std::numeric_limits<off_t>::max() - 1;

// An open file description lock on one byte (F_UNLCK lets go of it). l_pid stays 0, as the
// kernel wants it for these locks.
int SetLock(int fd, short type, off_t at) {
  struct flock byte {};
  byte.l_type = type;
  byte.l_whence = SEEK_SET;
  byte.l_start = at;
  byte.l_len = 1;
  return ::fcntl(fd, F_OFD_SETLK, &byte);
}

// The kind of lock that keeps a write lock off the byte (F_UNLCK: none any more).
short InTheWay(int fd, off_t at) {
  struct flock byte {};
  byte.l_type = F_WRLCK;
  byte.l_whence = SEEK_SET;
  byte.l_start = at;
  byte.l_len = 1;
  if (::fcntl(fd, F_OFD_GETLK, &byte) != 0) return F_WRLCK;  // taken for a writer's: waited for
  return byte.l_type;
}

// What a file system that keeps no locks answers to a well-formed request (a share whose
// server refuses them, a FUSE file system without them).
bool KeepsNoLocks(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == ENOSYS;
}

bool IsBusy(int error) {
  return error == EAGAIN || error == EACCES || error == EINTR;
}

}  // namespace

FileKey KeyOfFile(dev_t device, ino_t inode) {
  return {static_cast<std::uint64_t>(device), static_cast<std::uint64_t>(inode), 0};
}

std::error_code PosixHold::Release() {
  if (file && !file.Close()) return LastError();
  return {};
}

std::error_code PosixTurns::TakeKnown(Fd file, bool readable, const struct stat& st, bool& waited,
                                      PosixTurn& turn) {
  struct stat known = st;
  return Take(std::move(file), readable, known, true, waited, turn);
}

std::error_code PosixTurns::TakeAndLook(Fd file, bool readable, struct stat& st, bool& waited,
                                        PosixTurn& turn) {
  return Take(std::move(file), readable, st, false, waited, turn);
}

std::error_code PosixTurns::Take(Fd file, bool readable, struct stat& st, bool known, bool& waited,
                                 PosixTurn& turn) {
  PosixHold hold{std::move(file), readable};
  const int fd = hold.file.Get();
  const auto look = [&]() -> std::error_code {
    if (::fstat(fd, &st) != 0) return LastError();
    known = true;
    return {};
  };
  bool locks = true;
  if (known) {
    for (dev_t device : withoutLocks_) locks = locks && device != st.st_dev;
  }
  const auto attempt = [&](LockTry& result) -> std::error_code {
    if (!locks) {
      result = LockTry::kTaken;  // without a turn: the append is still one whole line
      return {};
    }
    if (SetLock(fd, F_WRLCK, kTurnByte) == 0) {
      result = LockTry::kTaken;
      return {};
    }
    const int error = errno;
    if (KeepsNoLocks(error)) {
      locks = false;
      result = LockTry::kTaken;
      return {};
    }
    if (!IsBusy(error)) return {error, std::generic_category()};
    result = LockTry::kBusy;
    if (error == EINTR) return {};
    // Whose lock is in the way: this process's own, through another descriptor (taken again),
    // a writer's (waited for), or a reader's (not waited for: the run goes on without a turn).
    if (!known) {
      if (auto ec = look()) return ec;
      if (PosixTurn held = table_.HeldAlready(KeyOfFile(st.st_dev, st.st_ino))) {
        turn = std::move(held);
        result = LockTry::kTaken;
        return {};
      }
    }
    if (InTheWay(fd, kTurnByte) == F_RDLCK) result = LockTry::kTaken;
    return {};  // a writer's turn, or one let go of a moment ago
  };
  const bool lookAfter = !known;
  if (auto ec = WaitForTurn(until_, waited, attempt)) return ec;
  if (lookAfter) {
    if (turn) return {};  // held already, and looked at just now
    if (auto ec = look()) return ec;
  }
  if (!locks &&
      std::find(withoutLocks_.begin(), withoutLocks_.end(), st.st_dev) == withoutLocks_.end()) {
    withoutLocks_.push_back(st.st_dev);
  }
  turn = table_.Keep(KeyOfFile(st.st_dev, st.st_ino), std::move(hold));
  return {};
}

}  // namespace calendario
