// One run: today's folder, the mirror file in it and the stamp appended to it, each outcome
// reported. Main is what the process entries call; they hand it the platform.
#pragma once

#include <string>
#include <string_view>

#include "fs/FileSystem.h"
#include "run/Clock.h"

namespace calendario {

// What a process entry hands Main: the clock, the command-line text (everything after the
// program's own name) and the file-system component.
struct Platform {
  Clock& clock;
  std::u16string_view commandLine;
  FileSystemLayer& fileSystem;
};

// The process's exit status.
enum class ExitStatus : int {
  kDone = 0,          // the run did all it set out to do, also when there was no root folder
  kFolderFailed = 1,  // the dated folder could not be made
  kMirrorFailed = 2,  // the mirror file could not be created
  kAppendFailed = 3,  // the stamp could not be appended to the mirror file
  kNoFileSystem = 4,  // no instance of the file-system component could be had
  kTimedOut = 5,      // the run did not end within its bound, and its entry ended without it
  // 6 is no longer given (it once meant that no worker could be started: the run now goes on
  // without its bound instead).
  kUntold = 7,  // the worker that made the run ended without saying how it went (killed, crashed)
  kReportFailed = 8,  // all else was done, but a report line could not be written
};

// YYYYMMDD: the year as it is, month and day padded to two digits.
std::u16string DateStamp(const LocalDate& date);

// One run. The clock is read once for the date, so the folder, the mirror file's place and
// the appended stamp all name the same day even when midnight passes during the run.
ExitStatus Main(Platform& platform);

}  // namespace calendario
