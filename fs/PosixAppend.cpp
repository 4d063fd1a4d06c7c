// POSIX only.
#include "fs/PosixAppend.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "fs/FileSystem.h"

namespace calendario {
std::error_code PosixStream::Close() {
  if (turn) return turn.Release();
  if (!made.Close()) return LastError();
  return {};
}

std::error_code WriteWholeLine(PosixStream& stream, std::string line) {
  if (stream.lineBreakFirst) line.insert(0, "\r\n");
  const int fd = stream.File();
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return LastError();
  if (static_cast<std::size_t>(written) == line.size()) {
    stream.lineBreakFirst = false;
    return {};
  }
  // Part of the line went in (disk full, a file-size limit): take it out again, so the file
  // ends where it ended before, but only while nothing follows it. The append put it at the
  // end, and the position is where it ends: when the file is longer now, another writer's line
  // follows, and cutting back would take that too.
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  struct stat now;
  const bool cutBack = end >= written && ::fstat(fd, &now) == 0 && now.st_size == end &&
                       ::ftruncate(fd, end - written) == 0;
  // Otherwise the file ends in that part now, and a next line on this stream starts anew.
  if (!cutBack) stream.lineBreakFirst = true;
  return FsErrc::kPartialWrite;
}

}  // namespace calendario
