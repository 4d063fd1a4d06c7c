#include "fs/FolderWalk.h"

#include <algorithm>

#include "fs/FileSystem.h"

namespace calendario {

bool FolderWalk::ExtendsHeld(std::u16string_view prefix, Next& next) const {
  const std::u16string_view text = Text();
  if (!held_ || prefix.data() != text.data() || prefix.size() <= at_ || !IsSeparator(text[at_])) {
    return false;
  }
  // One level more can give the text another root ("\" then "\\server").
  const CurrentFolder any;
  if (StartOf(prefix, any).root != StartOf(text.substr(0, at_), any).root) return false;
  const std::u16string_view added = prefix.substr(at_ + 1);
  if (added == u"." || std::any_of(added.begin(), added.end(), IsSeparator)) return false;
  next.level = ResolveLevel(added, /*last=*/true);
  if (next.level.kind == LevelKind::kParent) return false;
  const ResolvedLevel asFolder = ResolveLevel(added, /*last=*/false);
  next.staysHeld = asFolder.kind == next.level.kind && asFolder.name == next.level.name;
  return true;
}

void FolderWalk::Reached(std::u16string_view prefix, const Next& next, bool held) {
  at_ = prefix.size();
  held_ = held && next.staysHeld;
}

std::error_code FolderWalk::Locate(std::u16string_view prefix, bool make, bool& exists) {
  DropHeld();
  held_ = false;
  const CurrentFolder none;
  const CurrentFolder& current = DependsOnCurrentFolder(prefix) ? Current() : none;
  const ResolvedPath asItStands = ResolveWindowsPath(prefix, current);
  bool held = false;
  const std::error_code ec =
      make ? MakeLocated(prefix, asItStands, held) : FindLocated(prefix, asItStands, exists, held);
  if (held) {
    const ResolvedPath asFolder = ResolveWindowsPath(prefix, current, /*moreFollows=*/true);
    held_ = !asFolder.refused && asFolder.levels.Keys() == asItStands.levels.Keys();
    at_ = prefix.size();
  }
  return ec;
}

std::error_code FolderWalk::FolderExists(std::u16string_view prefix, bool& exists) {
  exists = false;
  Next next;
  if (!ExtendsHeld(prefix, next)) return Locate(prefix, false, exists);
  bool held = true;  // the held folder itself stays held
  if (next.level.kind == LevelKind::kSelf) {
    exists = true;
  } else if (RefusesName(next.level.name, /*lastText=*/true)) {
    return {};
  } else if (auto ec = FindInHeld(prefix, next.level.name, exists, held); ec || !exists) {
    return ec;
  }
  Reached(prefix, next, held);
  return {};
}

std::error_code FolderWalk::CreateFolder(std::u16string_view prefix) {
  Next next;
  bool unused = false;
  if (!ExtendsHeld(prefix, next)) return Locate(prefix, true, unused);
  if (next.level.kind == LevelKind::kSelf) return std::make_error_code(std::errc::file_exists);
  if (RefusesName(next.level.name, /*lastText=*/true)) return FsErrc::kInvalidName;
  bool held = false;
  if (auto ec = MakeInHeld(prefix, next.level.name, held)) return ec;
  Reached(prefix, next, held);
  return {};
}

}  // namespace calendario
