// The report log: one time-stamped Spanish line per outcome, appended to a file that is
// deleted once it has grown past ReportLimit bytes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "fs/FileHelpers.h"
#include "fs/FileSystem.h"
#include "run/Clock.h"

namespace calendario {

// The report file's bound: a file larger than this is deleted by the next line.
inline constexpr std::uint64_t ReportLimit = 10000;

// The report line for a step's result: date-time text, "  ||  ", outcome text, subject (the
// whole folder path, or the mirror file's name alone).
std::u16string FolderLine(Clock& clock, CreationResult result, std::u16string_view folderPath);
std::u16string MirrorLine(Clock& clock, CreationResult result, std::u16string_view mirrorName);

// Appends the line to the report file at `reportPath`, making `reportFolder` (every missing
// level after the drive) and the file when missing. A file found larger than ReportLimit is
// deleted first and the line starts a new one. False when the line was not written (every
// failure ends the call; the run's status tells it).
bool WriteReport(FileSystemLayer& layer, std::u16string_view reportFolder,
                 std::u16string_view reportPath, std::u16string_view message);

}  // namespace calendario
