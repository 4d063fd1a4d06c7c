// Windows path rules, as pure functions: which root a path starts from, how its levels
// resolve ("." and ".." taken away, trailing dots and spaces trimmed as Windows trims them),
// and which names Windows refuses. Both the host backends and the test fake read paths through
// these, so that a run behaves on every host as it would on Windows.
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
// validNames false) and left to the caller to refuse. With `moreFollows`, the path is read as
// the folder part of a longer one: its last level resolves as a level with more after it.
WindowsPath ParseWindowsPath(std::u16string_view path, bool moreFollows = false);

enum class LevelKind {
  kSelf,    // "", "." or what trims to nothing: the folder the level stands in
  kParent,  // "..": the folder above (never above a drive's top)
  kName,    // a name, to be looked up in the folder the level stands in
};
struct ResolvedLevel {
  LevelKind kind;
  std::u16string_view name;  // for kName
};

// How one level resolves, as Windows resolves it: the last level of a path loses all its
// trailing dots and spaces; a level with more after it loses one trailing dot at most; "."
// and ".." are relative. The name may still be one Windows refuses (IsValidName).
ResolvedLevel ResolveLevel(std::u16string_view level, bool last);

// True when Windows accepts the text as the name of one folder or file: not empty, no
// control characters or any of <>:"|?*, not a device name (CON, NUL, COM1, ...), with or
// without an extension.
bool IsValidName(std::u16string_view name);

// True when the level resolves to itself: a valid name that is neither "." nor "..", with no
// trailing dot or space to trim.
bool IsPlainName(std::u16string_view name);

}  // namespace calendario
