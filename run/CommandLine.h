// The command line: cutting the program's own name off a Windows command line, splitting the
// rest into arguments, and applying each argument as an option to the run's settings.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "run/Settings.h"

namespace calendario {

// Everything after the program's name, exactly as given, by the rule Windows itself applies
// to the first token: a quoted name runs to the closing quote, an unquoted one to the first
// space or tab.
std::u16string_view AfterProgramName(std::u16string_view commandLine);

// Splits the command-line text into arguments: maximal runs of characters that are neither a
// space nor a tab (quotation marks are ordinary characters). Entry 0 is always empty; entries
// 1 to n hold the first n <= maxArgs arguments, and the rest of the text is not read.
std::vector<std::u16string> GetCommandArgs(std::u16string_view commandLine,
                                           std::size_t maxArgs = 10);

// Applies one argument: a three-character key and its value. "-IN" switches the report log
// (on only for "si"), "-RC" sets the root folder, "-RI" the report folder, "-NA" the mirror
// file's name, which places the mirror file directly in the root folder. "-RC" moves the
// mirror file along with the root: into today's folder under it, or (after a "-NA") into it.
// Any other argument is ignored.
void ApplyOption(Settings& settings, std::u16string argument);

}  // namespace calendario
