// POSIX only.
#include "fs/PosixPaths.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "fs/Text.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {
int OpenFolder(int folder, const std::string& name) {
  return ::openat(folder, name.c_str(), kFolderOpenFlags);
}

// The key of the entry `key` in the folder `folderKey`.
std::u16string EntryKey(std::u16string_view folderKey, std::u16string_view key) {
  std::u16string entry(folderKey);
  entry += u'\\';
  entry += key;
  return entry;
}

// A walk of the POSIX backend. It holds the folder that the prefix it has reached names, with
// that prefix resolved as the folder part of a longer path (`asFolder_`). The next prefix, that
// one and one more level's text, is resolved from there by that text alone, as the resolver
// resolves every level: when it names the held folder and one name more, it is reached in the
// held folder, at the cost of that level alone; when it names the held folder itself, nothing
// is to be reached; anything else (a "." or "..", more than one level, another root) is
// located in full. What it holds goes to the cache when the walk ends.
class PosixWalk final : public FolderWalk {
 public:
  PosixWalk(PosixPaths& paths, std::u16string_view path) : FolderWalk(path), paths_(paths) {}
  ~PosixWalk() override { Leave(); }

  std::error_code FolderExists(std::u16string_view prefix, bool& exists) override {
    exists = false;
    PosixPlace place;
    Step step;
    if (Reach(prefix, place, step)) {  // a level above is missing, or the path cannot exist
      Leave();
      return {};
    }
    if (place.name.empty()) {
      exists = true;
      Hold(prefix, place, Fd(), false, step);
      return {};
    }
    if (place.fresh) {
      // Below a folder this walk has just made there is most likely nothing yet.
      struct stat st;
      if (::fstatat(place.folder, place.name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
        return {};
      }
    }
    if (prefix.size() == Text().size() && !place.fresh) {
      // The walk's last level, held since an earlier call of the run: whether that folder is
      // still there is one question to the host, and no handle is needed for a next level.
      const std::u16string entry = EntryKey(place.folderKey, place.key);
      if (const int held = paths_.Cache().Find(entry); held >= 0) {
        struct stat st;
        if (::fstat(held, &st) == 0 && S_ISDIR(st.st_mode) && st.st_nlink > 0) {
          exists = true;
          return {};
        }
        paths_.Cache().Forget(entry);
      }
    }
    // Opening it answers the question afresh and gives the handle the next level is found from.
    Fd fd(paths_.AtAnyCase(place, OpenFolder));
    if (!fd) {
      if (!place.fresh) paths_.Cache().Forget(EntryKey(place.folderKey, place.key));
      return {};
    }
    exists = true;
    Hold(prefix, place, std::move(fd), false, step);
    return {};
  }

  std::error_code CreateFolder(std::u16string_view prefix) override {
    PosixPlace place;
    Step step;
    if (auto ec = Reach(prefix, place, step)) {
      Leave();
      return ec;
    }
    if (place.name.empty()) return std::make_error_code(std::errc::file_exists);
    // A folder by the same name in another case is the same folder to Windows.
    if (paths_.TakenByOtherSpelling(place)) return std::make_error_code(std::errc::file_exists);
    if (::mkdirat(place.folder, place.name.c_str(), 0777) != 0) return LastError();
    // Below a folder this walk made, nothing is known that could be stale.
    if (!place.fresh) paths_.Made(place, true);
    Hold(prefix, place, Fd(OpenFolder(place.folder, place.name)), true, step);
    return {};
  }

 private:
  // How a prefix was reached: from the held folder by one level's text, or located in full.
  struct Step {
    bool fromHeld = false;
    std::u16string_view levelText;  // the text after the held prefix's separator
    ResolvedLevel asLast{LevelKind::kSelf, {}};
  };

  // The place of the prefix's last level: in the held folder when the prefix is the held one,
  // a separator and one level's text that names a name or nothing more; else as Locate finds it.
  std::error_code Reach(std::u16string_view prefix, PosixPlace& place, Step& step) {
    const std::u16string_view text = Text();
    if (folder_ && asFolderIsHeld_ && prefix.data() == text.data() && prefix.size() > at_ &&
        IsSeparator(text[at_]) && SameRoot(prefix)) {
      const std::u16string_view added = prefix.substr(at_ + 1);
      bool one = true;
      ForEachLevelText(added, [&](std::u16string_view, bool last) { one = one && last; });
      const ResolvedLevel asLast = ResolveLevel(added, /*last=*/true);
      // A "." ends a path whose level before it is then trimmed as the last one; a ".." climbs:
      // both are located in full.
      if (one && asLast.kind != LevelKind::kParent && added != u".") {
        step = Step{true, added, asLast};
        place.folder = folder_.Get();
        place.folderKey = folderKey_;
        place.fresh = fresh_;
        if (asLast.kind == LevelKind::kName) {
          if (RefusesName(asLast.name, /*lastText=*/true)) return FsErrc::kInvalidName;
          place.name = Utf16ToUtf8(asLast.name);
          place.key = KeyOf(asLast.name);
        }
        return {};
      }
    }
    Leave();
    step = Step{};
    return paths_.Locate(prefix, place);
  }

  // One level more can give the text another root ("\" then "\\srv").
  bool SameRoot(std::u16string_view prefix) const {
    const CurrentFolder any;
    return StartOf(prefix, any).root == StartOf(Text().substr(0, at_), any).root;
  }

  // After the prefix was found or made at `place` (`opened` the folder itself when it was
  // opened; `made` when this walk made it): holds the folder the prefix names, and the prefix
  // read as the folder part of a longer path, or nothing when that cannot be had.
  void Hold(std::u16string_view prefix, PosixPlace& place, Fd opened, bool made, const Step& step) {
    if (step.fromHeld) {
      // The prefix as a folder part: the held one's, and the level's text with more after it.
      const ResolvedLevel asFolder = ResolveNextLevel(asFolder_, step.levelText, false);
      const bool same = asFolder.kind == step.asLast.kind && asFolder.name == step.asLast.name;
      if (step.asLast.kind == LevelKind::kName) {
        if (!opened) return Leave();
        paths_.Cache().Retire(std::move(folder_));
        folder_ = std::move(opened);
        folderKey_ += u'\\';
        folderKey_ += place.key;
        fresh_ = made;
      }
      asFolderIsHeld_ = same && !asFolder_.refused;
      at_ = prefix.size();
      return;
    }
    // Located in full: the prefix is resolved twice, as it stands and as a folder part, which
    // name the held folder when they end alike.
    Fd held = std::move(opened);
    std::u16string key(place.folderKey);
    if (place.name.empty()) {
      held.Reset(::fcntl(place.folder, F_DUPFD_CLOEXEC, 0));
    } else {
      key += u'\\';
      key += place.key;
    }
    if (!held) return Leave();
    const CurrentFolder none;
    const CurrentFolder& current =
        DependsOnCurrentFolder(prefix) ? paths_.Drives().Current() : none;
    ResolvedPath asFolder = ResolveWindowsPath(prefix, current, /*moreFollows=*/true);
    const ResolvedPath asItStands = ResolveWindowsPath(prefix, current);
    paths_.Cache().Retire(std::move(folder_));
    folder_ = std::move(held);
    folderKey_ = std::move(key);
    fresh_ = made;
    asFolderIsHeld_ = !asFolder.refused && asFolder.levels.Keys() == asItStands.levels.Keys();
    asFolder_ = std::move(asFolder);
    at_ = prefix.size();
  }

  // Hands the folder the walk holds to the cache, and holds nothing.
  void Leave() noexcept {
    if (folder_) {
      try {
        paths_.Cache().Remember(folderKey_, std::move(folder_));
        if (fresh_) paths_.Cache().KeepNames(folderKey_, FolderNames());
      } catch (const std::bad_alloc&) {
        // Not kept: the handle closes.
      }
    }
    folder_.Reset();
    folderKey_.clear();
    fresh_ = false;
    asFolderIsHeld_ = false;
    at_ = 0;
  }

  PosixPaths& paths_;
  Fd folder_;  // the folder the prefix of length at_ names
  std::size_t at_ = 0;
  std::u16string folderKey_;     // its key
  bool fresh_ = false;           // this walk made it: nothing is in it yet
  ResolvedPath asFolder_;        // that prefix, read as the folder part of a longer path
  bool asFolderIsHeld_ = false;  // ...names the held folder, so a next level is found in it
};

}  // namespace

std::error_code PosixPaths::Locate(std::u16string_view path, PosixPlace& place) {
  const CurrentFolder none;
  const CurrentFolder& current = DependsOnCurrentFolder(path) ? drives_.Current() : none;
  const ResolvedPath resolved = ResolveWindowsPath(path, current);
  if (resolved.root == PathRoot::kServer || resolved.root == PathRoot::kDevice) {
    return FsErrc::kNoSuchPath;
  }
  if (resolved.refused) return FsErrc::kInvalidName;
  int top = AT_FDCWD;
  if (resolved.root == PathRoot::kDrive) {
    if (auto ec = drives_.Top(resolved.drive, top)) return ec;
  }
  std::u16string& key = place.keyStorage;
  key.assign(1, resolved.root == PathRoot::kDrive ? resolved.drive : u'.');
  if (resolved.root == PathRoot::kDrive) key += u':';
  place.endsWithSeparator = resolved.endsWithSeparator;
  const PathLevels& levels = resolved.levels;
  const std::size_t count = levels.size();
  const std::size_t topLength = key.size();
  if (count > 0) key += levels.Keys(count - 1);
  place.folderKey = key;
  if (count == 0) {
    place.folder = top;
    return {};
  }
  // From the closest folder the cache holds, or else from the top, one level at a time.
  std::size_t known = 0;
  int fd = cache_.FindClosest(key, known);
  std::size_t i = 0;
  if (fd < 0) {
    fd = top;
  } else {
    while (topLength + levels.Keys(i).size() < known) ++i;
  }
  Fd owned;
  for (; i + 1 < count; ++i) {
    const std::u16string_view folderKey =
        std::u16string_view(key).substr(0, topLength + levels.Keys(i).size());
    const int next = OpenFolderAt(fd, folderKey, levels.Name(i), levels.Key(i));
    if (next < 0) return LastError();
    owned.Reset(next);
    fd = next;
  }
  if (owned) fd = cache_.Remember(key, std::move(owned));
  place.folder = fd;
  place.name = Utf16ToUtf8(levels.Name(count - 1));
  place.key = levels.Key(count - 1);
  return {};
}

int PosixPaths::OpenFolderAt(int folder, std::u16string_view folderKey, std::u16string_view name,
                             std::u16string_view key) {
  PosixPlace place;
  place.folder = folder;
  place.folderKey = folderKey;
  place.name = Utf16ToUtf8(name);
  place.key = key;
  return AtAnyCase(place, OpenFolder);
}

std::string PosixPaths::OtherSpelling(const PosixPlace& place) {
  if (place.fresh || !HasOtherSpellings(place.key)) return {};
  if (const FolderNames* names = cache_.Names(place.folderKey)) {
    const std::string* found = names->FindOther(place.key, place.name);
    return found != nullptr ? *found : std::string();
  }
  FolderNames read;
  std::string found;
  if (read.Read(place.folder, place.key, place.name, found)) {
    cache_.KeepNames(place.folderKey, std::move(read));
  }
  return found;
}

bool PosixPaths::TakenByOtherSpelling(PosixPlace& place) {
  std::string other = OtherSpelling(place);
  if (other.empty()) return false;
  // What was read of the folder may be older than what is there now.
  struct stat st;
  if (::fstatat(place.folder, other.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (FolderNames* names = cache_.Names(place.folderKey)) names->Remove(other);
    return false;
  }
  place.name = std::move(other);
  return true;
}

void PosixPaths::Made(const PosixPlace& place, bool folder) {
  if (folder) {
    // A folder by this key was just made anew: nothing known of an older one holds.
    const std::u16string key = EntryKey(place.folderKey, place.key);
    cache_.Forget(key);
    cache_.KeepNames(key, FolderNames());
  }
  if (FolderNames* names = cache_.Names(place.folderKey)) names->Add(place.key, place.name);
}

void PosixPaths::Deleted(const PosixPlace& place) {
  if (FolderNames* names = cache_.Names(place.folderKey)) names->Remove(place.name);
}

std::unique_ptr<FolderWalk> PosixPaths::Walk(std::u16string_view path) {
  return std::make_unique<PosixWalk>(*this, path);
}

}  // namespace calendario
