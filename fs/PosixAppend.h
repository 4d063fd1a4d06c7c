// Appending lines on POSIX: a stream per open file, holding what it must remember of its own
// file and the turn it holds at it.
#pragma once

#include <string>
#include <system_error>

#include "fs/PosixFd.h"
#include "fs/PosixTurns.h"

namespace calendario {

// An open text stream of the POSIX backend.
struct PosixStream {
  Fd file;
  // The file ended in a fragment (a line cut short) when the stream was opened: the next line
  // starts with a line end of its own, so it is not glued to the fragment.
  bool lineBreakFirst = false;
  PosixTurns::Held* turn = nullptr;  // the turn at the file, given back when the stream closes
};

// Writes `line` (a line and its CR LF, encoded) in one write at the end of the stream's file,
// after a CR LF when the stream must start with a line end. When the host takes part of it,
// that part is taken out again while nothing follows it, and the result is kPartialWrite.
std::error_code WriteWholeLine(PosixStream& stream, std::string line);

}  // namespace calendario
