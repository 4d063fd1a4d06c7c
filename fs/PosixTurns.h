// Turns at files on POSIX. Appends to one file take turns, and so do the report writer's check,
// delete and append, so that a writer cutting back a line the host took only part of never
// cuts another's, and no line goes into a file another run is about to delete.
//
// The turn at a file is a write lock on one byte of the file itself, far past any end it
// reaches, taken through the descriptor the run appends with: no reader or writer is kept from
// the file's bytes, nothing is made beside the file, every name of the file takes the same
// turn, and only those who may write the file can take it. The locks are open file description
// locks: they go with the descriptor, however the process ends.
//
// Someone who may only read the file can hold only read locks, and no one waits for those: a
// reader may hold one for as long as it likes, on the byte or on the whole file. Where a
// reader's lock is in the way, and on a file system that keeps no locks, the run appends
// without a turn, one whole line a write; its deletes take only what they measured either way.
#pragma once

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <system_error>
#include <vector>

#include "fs/PosixFd.h"
#include "fs/Turns.h"

namespace calendario {

// What holds one turn: the file, open for appending (its lock is on this descriptor).
struct PosixHold {
  Fd file;
  bool readable = false;  // `file` is open for reading too
  // Closes the file; fails when that did.
  std::error_code Release();
};

using PosixTurnTable = TurnTable<PosixHold>;
using PosixTurn = PosixTurnTable::Turn;

class PosixTurns {
 public:
  using Clock = std::chrono::steady_clock;
  // Turns are waited for until `until` at most.
  explicit PosixTurns(Clock::time_point until) : until_(until) {}

  // The turn at the file `key` when this process holds it, owned once more; empty otherwise.
  PosixTurn HeldAlready(const FileKey& key) { return table_.HeldAlready(key); }
  // Takes the turn at the open file `file`, waiting for a writer that holds it until the time
  // given at construction; `waited` says whether it had to. Fails when the turn cannot be had
  // in time. For a file `st` describes, at which this process holds no turn:
  std::error_code TakeKnown(Fd file, bool readable, const struct stat& st, bool& waited,
                            PosixTurn& turn);
  // For a file not yet looked at: `st` describes it as it is once the turn is had, and a turn
  // this process turns out to hold at the file already is taken again (`file` closes).
  std::error_code TakeAndLook(Fd file, bool readable, struct stat& st, bool& waited,
                              PosixTurn& turn);
  std::size_t Held() const { return table_.size(); }

 private:
  // Both of the above: with `known`, `st` is read; without, it is filled in.
  std::error_code Take(Fd file, bool readable, struct stat& st, bool known, bool& waited,
                       PosixTurn& turn);

  Clock::time_point until_;
  PosixTurnTable table_;
  // The file systems that have refused a lock in this run: not asked again.
  std::vector<dev_t> withoutLocks_;
};

// The key of a file as the host tells files apart.
FileKey KeyOfFile(dev_t device, ino_t inode);

}  // namespace calendario
