// How a Windows path is understood here, in one place: where it starts (a drive's top, the
// current folder, a server, a device), which levels it names once ".", "..", trailing dots and
// spaces are resolved as Windows resolves them, which names Windows refuses, and the key each
// level is compared by (Windows' own upper-casing, the same in every locale).
//
// Pure functions of the path and the process's current drive and folder. The POSIX backend
// carries out what they say and decides nothing of its own; the tests' fake follows them, so a
// rule proven on the fake holds on the host; the Win32 backend asks them which names to refuse
// before the API sees a path (it hands the API the \\?\ form, which skips Windows' own device
// mapping).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace calendario {

enum class PathRoot {
  kHost,    // relative, with the current folder outside every drive: the host's own meaning
  kDrive,   // a drive: its top, or its current folder
  kServer,  // "\\server\share...": a server share
  kDevice,  // "\\.\..." or "\\?\...": a device or a verbatim path, never a folder on a drive
};

// The levels of a resolved path, each with its name (as given, trailing dots and spaces
// trimmed as Windows trims them) and its key (the name upper-cased as Windows compares names).
// Kept one after another, each after a "\\": Keys() of C:\\tmpCalendario\\20261208 is
// "\\TMPCALENDARIO\\20261208", and Keys(1) is "\\TMPCALENDARIO".
class PathLevels {
 public:
  std::size_t size() const { return starts_.size(); }
  bool empty() const { return starts_.empty(); }
  std::u16string_view Name(std::size_t i) const { return Part(names_, i, &Start::name); }
  std::u16string_view Key(std::size_t i) const { return Part(keys_, i, &Start::key); }
  // The keys of the first `count` levels (all of them by default), each after a "\\".
  std::u16string_view Keys(std::size_t count = static_cast<std::size_t>(-1)) const {
    return count >= size() ? std::u16string_view(keys_)
                           : std::u16string_view(keys_).substr(0, starts_[count].key - 1);
  }
  void Push(std::u16string_view name);
  void Pop();

 private:
  struct Start {
    std::uint32_t name;  // where the level's name begins in names_
    std::uint32_t key;   // where its key begins in keys_
  };
  std::u16string_view Part(const std::u16string& all, std::size_t i,
                           std::uint32_t Start::*at) const {
    const std::size_t begin = starts_[i].*at;
    const std::size_t end = i + 1 < size() ? starts_[i + 1].*at - 1 : all.size();
    return std::u16string_view(all).substr(begin, end - begin);
  }
  std::u16string names_;
  std::u16string keys_;
  std::vector<Start> starts_;
};

// The process's current drive and folder, as Windows keeps them.
struct CurrentFolder {
  char16_t drive = u'c';  // the current drive, 'a'..'z'
  // The current folder lies on that drive, at `levels` below its top. When it lies outside
  // every drive, C: is the current drive and a relative path keeps the host's meaning.
  bool onDrive = false;
  PathLevels levels;
};

struct ResolvedPath {
  PathRoot root = PathRoot::kHost;
  char16_t drive = 0;  // 'a'..'z' for kDrive
  // From the drive's top (kDrive), the host's current folder (kHost, where leading ".."
  // levels climb above it) or the server (kServer: the server, the share, and on); ".." never
  // climbs above a drive's top. Empty for kDevice, which is taken as it stands.
  PathLevels levels;
  bool endsWithSeparator = false;  // the text ended in "\" or "/": it cannot name a file
  bool refused = false;            // a level holds a name Windows refuses
};

inline bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

// What the first characters of a path say: its root, and where its levels begin.
struct PathStart {
  PathRoot root = PathRoot::kHost;
  char16_t drive = 0;        // 'a'..'z' for kDrive
  bool fromCurrent = false;  // the levels go on from the current folder's
  std::size_t levelsAt = 0;  // where the levels' text begins
};

// "X:\..." starts at X's top; "X:..." at X's current folder when X is the current drive (any
// other drive's current folder lives only in cmd.exe's "=X:" variables: there, at its top); a
// single leading separator at the current drive's top; two at a server or, as "\\." and "\\?",
// a device; anything else at the current folder. Reads a few characters only.
PathStart StartOf(std::u16string_view path, const CurrentFolder& current);

// False when the path means the same whatever the current drive and folder are.
bool DependsOnCurrentFolder(std::u16string_view path);

// Resolves the whole path. With `moreFollows`, it is read as the folder part of a longer one:
// its last level resolves as a level with more after it, and is no device. Never fails: what
// cannot exist is said (kServer, kDevice, refused) and left to the caller. It is a loop of
// ResolveNextLevel over the texts between separators.
ResolvedPath ResolveWindowsPath(std::u16string_view path, const CurrentFolder& current,
                                bool moreFollows = false);

// Calls next(levelText, lastText) for each text between separators in `rest` (the part of a
// path after its root, or what a longer path adds after a separator), first to last; lastText
// for the last one. A text that ends in a separator ends in an empty level text.
template <typename Next>
void ForEachLevelText(std::u16string_view rest, Next next);

enum class LevelKind {
  kSelf,    // "", "." or what trims to nothing: the folder the level stands in
  kParent,  // "..": the folder above (never above a drive's top)
  kName,    // a name, to be looked up in the folder the level stands in
};
struct ResolvedLevel {
  LevelKind kind;
  std::u16string_view name;  // for kName
};

// The one step of a resolution: the path so far (`path`, its levels, whether a name was
// refused) with one level's text more after a separator, `lastText` when nothing follows it.
// Returns how that text resolved; a refused name is kept as a level unless it is "." or "..",
// which must never climb.
ResolvedLevel ResolveNextLevel(ResolvedPath& path, std::u16string_view levelText, bool lastText);

// How one level's text resolves: the last level of a path loses all its trailing dots and
// spaces; a level with more after it loses one trailing dot at most; "." and ".." are
// relative. The name may still be one Windows refuses (RefusesName).
ResolvedLevel ResolveLevel(std::u16string_view level, bool last);

// True when Windows refuses `name` (a level after ResolveLevel) as the name of a folder or
// file: empty, "." or "..", holding a control character or any of <>:"|?*. With `lastText`
// (the level is the path's last text, not followed by a separator) also a device name: CON,
// PRN, AUX, NUL, COM1 to COM9 and LPT1 to LPT9 (with the superscript digits too), CONIN$ and
// CONOUT$, in any case, whatever follows a dot and trailing spaces before it.
bool RefusesName(std::u16string_view name, bool lastText);

// The name upper-cased as Windows compares names.
std::u16string KeyOf(std::u16string_view name);

// False when no other text upper-cases as `name` does, so that only the exact name can match
// it (digits, punctuation: the day's folder "20261208").
bool HasOtherSpellings(std::u16string_view name);

template <typename Next>
void ForEachLevelText(std::u16string_view rest, Next next) {
  std::size_t begin = 0;
  for (;;) {
    std::size_t end = begin;
    while (end < rest.size() && !IsSeparator(rest[end])) ++end;
    const bool last = end == rest.size();
    next(rest.substr(begin, end - begin), last);
    if (last) return;
    begin = end + 1;
  }
}

}  // namespace calendario
