// Cutting the program's own name off a Windows command line, by the rule Windows itself
// applies to the first token: a quoted name runs to the closing quote, an unquoted one to the
// first space or tab.
#pragma once

#include <string_view>

namespace calendario {

// Everything after the program's name, exactly as given.
inline std::u16string_view AfterProgramName(std::u16string_view commandLine) {
  std::size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == u'"') {
    const std::size_t close = commandLine.find(u'"', 1);
    i = close == std::u16string_view::npos ? commandLine.size() : close + 1;
  } else {
    while (i < commandLine.size() && commandLine[i] != u' ' && commandLine[i] != u'\t') ++i;
  }
  return commandLine.substr(i);
}

}  // namespace calendario
