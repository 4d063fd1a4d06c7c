// Appending lines on POSIX: a stream per open file, holding what it must remember of its own
// file and the turn it holds at it.
#pragma once

#include <string>
#include <system_error>

#include "fs/PosixFd.h"
#include "fs/PosixTurns.h"

namespace calendario {

// An open text stream of the POSIX backend: a file it made and holds itself (CreateTextFile),
// or the turn at a file, through whose descriptor it appends.
struct PosixStream {
  Fd made;
  PosixTurn turn;
  // The file ended in a fragment (a line cut short) when the stream was opened: the next line
  // starts with a line end of its own, so it is not glued to the fragment.
  bool lineBreakFirst = false;

  int File() const { return turn ? turn.Held().file.Get() : made.Get(); }
  // Closes the file, or gives the turn up (closing the file when this was its last owner).
  std::error_code Close();
};

// Writes `line` (a line and its CR LF, encoded) in one write at the end of the stream's file,
// after a CR LF when the stream must start with a line end. When the host takes part of it,
// that part is taken out again while nothing follows it, and the result is kPartialWrite.
std::error_code WriteWholeLine(PosixStream& stream, std::string line);

}  // namespace calendario
