// mdlBasico: run control. The run's settings, the date stamp, and Main, which carries out one
// run from start to end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fs/FileSystem.h"
#include "fs/mdlFC.h"

namespace calendario {

struct LocalDate {
  int year = 0;
  int month = 0;  // 1..12
  int day = 0;    // 1..31
};

// The platform's local clock.
class Clock {
 public:
  virtual ~Clock() = default;
  // Today's local date.
  virtual LocalDate Today() = 0;
  // The current local date and time as text, under the user's regional settings.
  virtual std::u16string DateTimeText() = 0;
};

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
};

namespace mdlBasico {

struct Settings {
  std::u16string ReportName;
  std::u16string MirrorName;
  std::u16string RootFolder;
  std::u16string ReportFolder;
  std::u16string ReportPath;
  std::u16string MirrorPath;
  bool ReportEnabled = true;
};

// The settings of the run under way: filled by LoadDefaults, changed by the options.
extern Settings settings;

// YYYYMMDD: the year as it is, month and day padded to two digits.
std::u16string DateStamp(const LocalDate& date);

// Assigns every setting its built-in value; `stamp` is the run's date stamp, which names the
// mirror file's folder.
void LoadDefaults(std::u16string_view stamp);

// The report file's bound: a file larger than this is deleted by the next line.
inline constexpr std::uint64_t ReportLimit = 10000;

// Appends the line to the report file at settings.ReportPath, making the report folder (every
// missing level after the drive) and the file when missing. A file found larger than
// ReportLimit is deleted first and the line starts a new one. Every failure ends the call
// silently: the report log is the only channel there is.
void WriteReport(FileSystemLayer& layer, std::u16string_view message);

// The report line for a step's result: date-time text, "  ||  ", outcome text, subject.
std::u16string FolderLine(Clock& clock, CreationResult result, std::u16string_view folderPath);
std::u16string MirrorLine(Clock& clock, CreationResult result, std::u16string_view mirrorName);

// Applies one argument: a three-character key and its value. "-IN" switches the report log
// (on only for "si"), "-RC" sets the root folder, "-RI" the report folder, "-NA" the mirror
// file's name, which places the mirror file directly in the root folder. "-RC" moves the mirror
// file along with the root: into today's folder under it, or (after a "-NA") into it. Any
// other argument is ignored.
void ApplyOption(std::u16string argument);

// One run. The clock is read once for the date, so the folder, the mirror file's place and
// the appended stamp all name the same day even when midnight passes during the run.
ExitStatus Main(Platform& platform);

}  // namespace mdlBasico
}  // namespace calendario
