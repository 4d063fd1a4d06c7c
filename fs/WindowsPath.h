// Windows path rules, as pure functions: which root a path starts from, how its levels
// resolve ("." and ".." taken away, trailing dots and spaces trimmed), and which names Windows
// refuses. Both the host backends and the test fake read paths through these, so that a run
// behaves on every host as it would on Windows.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace calendario {

enum class PathRoot {
  kRelative,  // no drive and no leading separator: relative to the process's current folder
  kDrive,     // "X:" or a leading single separator (the current drive, C:)
  kServer,    // two leading separators: a server share or a device form; nothing exists there
};

struct WindowsPath {
  PathRoot root = PathRoot::kRelative;
  char16_t drive = 0;  // 'a'..'z' for kDrive
  // The levels after the root, resolved. For kRelative, leading ".." levels are kept: they
  // climb above the current folder. For kDrive, ".." never climbs above the top of the drive.
  std::vector<std::u16string> levels;
  bool endsWithSeparator = false;  // the text ended in "\" or "/": it cannot name a file
  bool validNames = true;          // false when a level holds a name Windows refuses
};

inline bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// Parses and resolves a Windows path. Never fails: what cannot exist is marked (kServer,
// validNames false) and left to the caller to refuse.
WindowsPath ParseWindowsPath(std::u16string_view path);

// True when Windows accepts the text as the name of one folder or file: not empty, no
// control characters or any of <>:"|?*, not a device name (CON, NUL, COM1, ...), with or
// without an extension.
bool IsValidName(std::u16string_view name);

// True when the level resolves to itself: a valid name that is neither "." nor "..", with no
// trailing dot or space to trim.
bool IsPlainName(std::u16string_view name);

}  // namespace calendario
