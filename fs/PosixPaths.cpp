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

constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;

std::error_code LastError() {
  return {errno, std::generic_category()};
}

int OpenFolder(int folder, const std::string& name) {
  return ::openat(folder, name.c_str(), kFolderFlags);
}

// The key of the entry `key` in the folder `folderKey`.
std::u16string EntryKey(std::u16string_view folderKey, std::u16string_view key) {
  std::u16string entry(folderKey);
  entry += u'\\';
  entry += key;
  return entry;
}

// A walk of the POSIX backend. It holds the folder that the prefix it has reached names as a
// level with more after it, and reaches a prefix that is that one and one more level from
// there, at the cost of that level alone; any other prefix is located in full. What it holds
// goes to the cache when the walk ends.
class PosixWalk final : public FolderWalk {
 public:
  PosixWalk(PosixPaths& paths, std::u16string_view path) : FolderWalk(path), paths_(paths) {}
  ~PosixWalk() override { Leave(); }

  std::error_code FolderExists(std::u16string_view prefix, bool& exists) override {
    exists = false;
    PosixPlace place;
    if (Reach(prefix, place)) {  // a level above is missing, or the path cannot exist
      Leave();
      return {};
    }
    if (place.name.empty()) {
      exists = true;
      Advance(prefix, place, Fd(), false);
      return {};
    }
    if (place.fresh) {
      // Below a folder this walk has just made there is most likely nothing yet: a stat finds
      // that out more cheaply than an open.
      struct stat st;
      if (::fstatat(place.folder, place.name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
        return {};
      }
    }
    const std::u16string entry = EntryKey(place.folderKey, place.key);
    if (prefix.size() == Text().size() && !place.fresh) {
      // The walk's last level, held since an earlier call of the run: whether that folder is
      // still there is one question to the host, and no handle is needed for a next level.
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
      if (!place.fresh) paths_.Cache().Forget(entry);
      return {};
    }
    exists = true;
    Advance(prefix, place, std::move(fd), false);
    return {};
  }

  std::error_code CreateFolder(std::u16string_view prefix) override {
    PosixPlace place;
    if (auto ec = Reach(prefix, place)) {
      Leave();
      return ec;
    }
    if (place.name.empty()) return std::make_error_code(std::errc::file_exists);
    // A folder by the same name in another case is the same folder to Windows.
    if (paths_.TakenByOtherSpelling(place)) return std::make_error_code(std::errc::file_exists);
    if (::mkdirat(place.folder, place.name.c_str(), 0777) != 0) return LastError();
    // Below a folder this walk made, nothing is known that could be stale.
    if (!place.fresh) paths_.Made(place, true);
    Advance(prefix, place, Fd(OpenFolder(place.folder, place.name)), true);
    return {};
  }

 private:
  // True when the prefix is the one the walk has reached and one more level.
  bool Extends(std::u16string_view prefix) const {
    const std::u16string_view text = Text();
    if (!folder_ || prefix.data() != text.data() || prefix.size() <= at_ ||
        prefix.size() > text.size() || !IsSeparator(text[at_])) {
      return false;
    }
    // One level more can give the text another root ("\" then "\\srv"): such a prefix is
    // located in full, and found to be nothing.
    const CurrentFolder any;
    if (StartOf(prefix, any).root != StartOf(text.substr(0, at_), any).root) return false;
    for (std::size_t i = at_ + 1; i < prefix.size(); ++i) {
      if (IsSeparator(text[i])) return false;
    }
    return true;
  }

  // The folder of the prefix's last level: the walk's, when the prefix extends it by a level
  // other than "..", or else the one Locate finds.
  std::error_code Reach(std::u16string_view prefix, PosixPlace& place) {
    if (Extends(prefix)) {
      const ResolvedLevel level = ResolveLevel(prefix.substr(at_ + 1), /*last=*/true);
      if (level.kind != LevelKind::kParent) {
        place.folder = folder_.Get();
        place.folderKey = folderKey_;
        place.fresh = fresh_;
        if (level.kind == LevelKind::kName) {
          if (RefusesName(level.name, /*lastText=*/true)) return FsErrc::kInvalidName;
          place.name = Utf16ToUtf8(level.name);
          place.key = KeyOf(level.name);
        }
        return {};
      }
    }
    Leave();
    return paths_.Locate(prefix, place);
  }

  // After the prefix was found or made at `place` (`opened` the folder itself, when it was
  // opened; `made` when this walk made it): holds the folder the prefix names as a level with
  // more after it, or nothing when the next prefix must be located in full.
  void Advance(std::u16string_view prefix, PosixPlace& place, Fd opened, bool made) {
    std::size_t cut = prefix.size();
    while (cut > 0 && !IsSeparator(prefix[cut - 1])) --cut;
    const std::u16string_view text = prefix.substr(cut);
    const ResolvedLevel asLast = ResolveLevel(text, true);
    const ResolvedLevel asFolder = ResolveLevel(text, false);
    const bool here = place.folder == folder_.Get();
    if (asFolder.kind == LevelKind::kParent ||
        (asFolder.kind == LevelKind::kName && RefusesName(asFolder.name, false))) {
      Leave();  // ".." is found from the drive's top again; a refused name never is
      return;
    }
    if (asFolder.kind == LevelKind::kSelf) {
      if (!here) {
        Fd same(::fcntl(place.folder, F_DUPFD_CLOEXEC, 0));
        if (!same) return Leave();
        Hold(std::move(same), std::u16string(place.folderKey), false);
      }
      at_ = prefix.size();
      return;
    }
    // As a level with more after it the name may be another one ("r.." is "r." there, "r"
    // as the last level).
    const bool sameName = asLast.kind == LevelKind::kName && asLast.name == asFolder.name;
    Fd next;
    if (sameName && opened) {
      next = std::move(opened);
    } else {
      place.name = Utf16ToUtf8(asFolder.name);
      place.key = KeyOf(asFolder.name);
      made = false;
      next.Reset(paths_.AtAnyCase(place, OpenFolder));
    }
    if (!next) return Leave();
    std::u16string key = here ? std::move(folderKey_) : std::u16string(place.folderKey);
    key += u'\\';
    key += KeyOf(asFolder.name);
    Hold(std::move(next), std::move(key), made && sameName);
    at_ = prefix.size();
  }

  void Hold(Fd folder, std::u16string key, bool fresh) {
    paths_.Cache().Retire(std::move(folder_));
    folder_ = std::move(folder);
    folderKey_ = std::move(key);
    fresh_ = fresh;
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
    at_ = 0;
  }

  PosixPaths& paths_;
  Fd folder_;                 // the folder the prefix of length at_ names, as a level
  std::size_t at_ = 0;        // with more after it
  std::u16string folderKey_;  // its key
  bool fresh_ = false;        // this walk made it: nothing is in it yet
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
