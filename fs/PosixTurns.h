// Turns at files on POSIX: appends to one file, and the report writer's check, delete and
// append, take turns, so that a writer cutting back a line the host took only part of never
// cuts another's, and no line goes into a file another run is about to delete.
//
// The turn at a file is an exclusive lock on one byte of a file in the same folder, its turn
// file ".calendario-turns", which only those who may write in the folder may open: a process
// that may only read the file or the folder can neither open it nor lock it, so it cannot keep
// a run waiting (a lock on the file itself or on its folder would let any reader do that). The
// byte is found from the file's key, so every spelling of the file takes the same turn; two
// files whose keys fall on one byte merely take their turns together. The locks are open file
// description locks: they go with the process, however it ends.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "fs/PosixFd.h"

namespace calendario {

class PosixTurns {
 public:
  using Clock = std::chrono::steady_clock;
  // Turns are waited for until `until` at most.
  explicit PosixTurns(Clock::time_point until) : until_(until) {}

  // A turn this process holds; an id is valid until Give.
  struct Held;

  // Takes the turn at the entry `key` of `folder` (whose key is `folderKey`), waiting for it
  // until the time given at construction at most; a turn this process already holds there is
  // taken again. Fails when the turn file cannot be opened or made, or the turn cannot be had
  // in time.
  std::error_code Take(int folder, std::u16string_view folderKey, std::u16string_view key,
                       Held*& turn);
  // Gives the turn back once it has been given back as often as taken.
  void Give(Held* turn);

 private:
  Clock::time_point until_;
  std::vector<std::unique_ptr<Held>> held_;
};

struct PosixTurns::Held {
  std::u16string folderKey;
  std::u16string key;
  Fd file;  // the turn file, locked at `byte`
  int taken = 0;
};

}  // namespace calendario
