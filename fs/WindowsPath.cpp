#include "fs/WindowsPath.h"

#include <array>

#include "fs/WindowsTables.h"

namespace calendario {
namespace {

char16_t LowerAscii(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool IsLetter(char16_t c) {
  return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z');
}

bool IsForbidden(char16_t c) {
  if (c < 0x20) return true;
  switch (c) {
    case u'<':
    case u'>':
    case u':':
    case u'"':
    case u'|':
    case u'?':
    case u'*':
      return true;
    default:
      return false;
  }
}

bool EqualsIgnoreCase(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

bool IsDeviceName(std::u16string_view name) {
  // Windows cuts the name at its first dot and drops the spaces before it: "NUL.txt" and
  // "CON .log" are devices too.
  std::u16string_view stem = name.substr(0, name.find(u'.'));
  while (!stem.empty() && stem.back() == u' ') stem.remove_suffix(1);
  static constexpr std::array<std::u16string_view, 6> kPlain = {u"CON", u"PRN",    u"AUX",
                                                                u"NUL", u"CONIN$", u"CONOUT$"};
  for (auto device : kPlain) {
    if (EqualsIgnoreCase(stem, device)) return true;
  }
  // Windows counts the superscript digits among a device name's digits too.
  const auto isDeviceDigit = [](char16_t c) {
    return (c >= u'1' && c <= u'9') || c == u'\u00b9' || c == u'\u00b2' || c == u'\u00b3';
  };
  if (stem.size() == 4 && isDeviceDigit(stem[3])) {
    const auto head = stem.substr(0, 3);
    return EqualsIgnoreCase(head, u"COM") || EqualsIgnoreCase(head, u"LPT");
  }
  return false;
}

bool IsDeviceRoot(std::u16string_view path) {
  // "\\." and "\\?", alone or followed by a separator.
  return path.size() >= 3 && (path[2] == u'.' || path[2] == u'?') &&
         (path.size() == 3 || IsSeparator(path[3]));
}

}  // namespace

PathStart StartOf(std::u16string_view path, const CurrentFolder& current) {
  PathStart start;
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    start.root = IsDeviceRoot(path) ? PathRoot::kDevice : PathRoot::kServer;
    start.levelsAt = 2;  // the server, the share, and what lies in it
    return start;
  }
  start.root = PathRoot::kDrive;
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
    start.drive = LowerAscii(path[0]);
    start.levelsAt = 2;
    const bool fromTop = path.size() > 2 && IsSeparator(path[2]);
    start.fromCurrent = !fromTop && start.drive == current.drive && current.onDrive;
  } else if (!path.empty() && IsSeparator(path[0])) {
    start.drive = current.drive;
  } else if (current.onDrive) {
    start.drive = current.drive;
    start.fromCurrent = true;
  } else {
    start.root = PathRoot::kHost;
  }
  return start;
}

bool DependsOnCurrentFolder(std::u16string_view path) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) return false;
  if (path.size() >= 2 && IsLetter(path[0]) && path[1] == u':') {
    return path.size() == 2 || !IsSeparator(path[2]);
  }
  return true;  // relative, or from the current drive's top
}

ResolvedLevel ResolveLevel(std::u16string_view level, bool last) {
  if (level.empty() || level == u".") return {LevelKind::kSelf, {}};
  if (level == u"..") return {LevelKind::kParent, {}};
  if (last) {
    // The last level loses every trailing dot and space; what is left of "..." or " " is
    // nothing, and names the folder it stands in.
    while (!level.empty() && (level.back() == u'.' || level.back() == u' ')) {
      level.remove_suffix(1);
    }
    if (level.empty()) return {LevelKind::kSelf, {}};
  } else if (level.back() == u'.') {
    level.remove_suffix(1);  // a level with more after it loses one trailing dot, no more
  }
  return {LevelKind::kName, level};
}

bool RefusesName(std::u16string_view name, bool lastText) {
  // "." or ".." as a name is what "..." or ".. " leave with more after them: it must never
  // climb.
  if (name.empty() || name == u"." || name == u"..") return true;
  for (char16_t c : name) {
    if (IsForbidden(c)) return true;
  }
  // Windows maps a device name to its device only as the path's last text.
  return lastText && IsDeviceName(name);
}

void PathLevels::Push(std::u16string_view name) {
  // Paths are at most 32767 units long, and current folders far shorter than 4 GiB.
  starts_.push_back({static_cast<std::uint32_t>(names_.size() + 1),
                     static_cast<std::uint32_t>(keys_.size() + 1)});
  names_ += u'\\';
  names_ += name;
  keys_ += u'\\';
  for (char16_t c : name) keys_ += WindowsUpperCase(c);
}

void PathLevels::Pop() {
  names_.resize(starts_.back().name - 1);
  keys_.resize(starts_.back().key - 1);
  starts_.pop_back();
}

std::u16string KeyOf(std::u16string_view name) {
  std::u16string key(name);
  for (char16_t& c : key) c = WindowsUpperCase(c);
  return key;
}

bool HasOtherSpellings(std::u16string_view name) {
  // Only the letters a to z upper-case into ASCII (a test reads the whole table to hold this
  // true), so an ASCII character that is no letter has no other spelling.
  for (char16_t c : name) {
    if (c >= 0x80 || IsLetter(c)) return true;
  }
  return false;
}

ResolvedLevel ResolveNextLevel(ResolvedPath& path, std::u16string_view levelText, bool lastText) {
  const ResolvedLevel level = ResolveLevel(levelText, lastText);
  switch (level.kind) {
    case LevelKind::kSelf:
      break;
    case LevelKind::kParent:
      if (!path.levels.empty() && path.levels.Name(path.levels.size() - 1) != u"..") {
        path.levels.Pop();
      } else if (path.root == PathRoot::kHost) {
        path.levels.Push(u"..");
      }
      break;
    case LevelKind::kName:
      if (RefusesName(level.name, lastText)) {
        path.refused = true;
        if (level.name == u"." || level.name == u"..") break;  // never kept: it must not climb
      }
      path.levels.Push(level.name);
      break;
  }
  return level;
}

ResolvedPath ResolveWindowsPath(std::u16string_view path, const CurrentFolder& current,
                                bool moreFollows) {
  ResolvedPath result;
  const PathStart start = StartOf(path, current);
  result.root = start.root;
  result.drive = start.drive;
  // A verbatim or device path is taken as it stands, by Windows too.
  if (start.root == PathRoot::kDevice) return result;
  result.endsWithSeparator = !path.empty() && IsSeparator(path.back());
  // Each level's text as given, so that the one left last can be read again as the last.
  std::vector<std::u16string_view> texts;
  if (start.fromCurrent) {
    result.levels = current.levels;
    for (std::size_t i = 0; i < current.levels.size(); ++i) texts.push_back(current.levels.Name(i));
  }
  bool endsInDots = false;  // the last text is "." or ".."
  ForEachLevelText(path.substr(start.levelsAt), [&](std::u16string_view text, bool last) {
    const std::size_t before = result.levels.size();
    ResolveNextLevel(result, text, last && !moreFollows);
    endsInDots = text == u"." || text == u"..";
    if (result.levels.size() > before) texts.push_back(text);
    if (result.levels.size() < before) texts.pop_back();
  });
  // A path that ends in "." or ".." leaves an earlier level last, and Windows trims that level
  // as the last one: all its trailing dots and spaces go, and so does the level, when that
  // leaves nothing of it (the one before it is not trimmed again).
  if (!moreFollows && endsInDots && !texts.empty() && !result.levels.empty()) {
    const ResolvedLevel again = ResolveLevel(texts.back(), /*last=*/true);
    if (again.kind == LevelKind::kSelf) {
      result.levels.Pop();
    } else if (again.kind == LevelKind::kName &&
               again.name != result.levels.Name(result.levels.size() - 1)) {
      result.levels.Pop();
      result.levels.Push(again.name);
    }
  }
  return result;
}

}  // namespace calendario
