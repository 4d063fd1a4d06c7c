#include "fs/WindowsPath.h"

#include <array>

namespace calendario {
namespace {

char16_t Lower(char16_t c) {
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
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

bool IsDeviceName(std::u16string_view name) {
  // Windows reserves these names whatever follows a dot ("NUL.txt" is the null device too).
  const std::u16string_view stem = name.substr(0, name.find(u'.'));
  static constexpr std::array<std::u16string_view, 4> kPlain = {u"CON", u"PRN", u"AUX", u"NUL"};
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

}  // namespace

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

bool IsValidName(std::u16string_view name) {
  if (name.empty()) return false;
  for (char16_t c : name) {
    if (IsForbidden(c)) return false;
  }
  return !IsDeviceName(name);
}

bool IsPlainName(std::u16string_view name) {
  return IsValidName(name) && name.back() != u'.' && name.back() != u' ';
}

WindowsPath ParseWindowsPath(std::u16string_view path, bool moreFollows) {
  WindowsPath result;
  std::u16string_view rest = path;
  if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
    result.root = PathRoot::kServer;
    return result;
  }
  if (rest.size() >= 2 && IsLetter(rest[0]) && rest[1] == u':') {
    result.root = PathRoot::kDrive;
    result.drive = Lower(rest[0]);
    rest.remove_prefix(2);  // "C:x" is taken from the top of the drive: there is no other
  } else if (!rest.empty() && IsSeparator(rest[0])) {
    result.root = PathRoot::kDrive;
    result.drive = u'c';
  }
  result.endsWithSeparator = !path.empty() && IsSeparator(path.back());

  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const bool last = end == rest.size() && !moreFollows;
    const ResolvedLevel level = ResolveLevel(rest.substr(start, end - start), last);
    start = end + 1;
    switch (level.kind) {
      case LevelKind::kSelf:
        break;
      case LevelKind::kParent:
        if (!result.levels.empty() && result.levels.back() != u"..") {
          result.levels.pop_back();
        } else if (result.root == PathRoot::kRelative) {
          result.levels.emplace_back(u"..");
        }
        break;
      case LevelKind::kName:
        // A name the host would read as "." or ".." (what "..." leaves with more after it)
        // is refused: it must never climb.
        if (level.name == u"." || level.name == u"..") {
          result.validNames = false;  // never kept as a level: it must not climb
          break;
        }
        if (!IsValidName(level.name)) result.validNames = false;
        result.levels.emplace_back(level.name);
        break;
    }
  }
  return result;
}

}  // namespace calendario
