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

// The POSIX walk's host calls (see FolderWalk): a folder is held as a handle with its key, and
// one name more is opened or made relative to it. What it holds goes to the cache when the
// walk lets go of it.
class PosixWalk final : public FolderWalk {
 public:
  PosixWalk(PosixPaths& paths, std::u16string_view path) : FolderWalk(path), paths_(paths) {}
  ~PosixWalk() override { DropHeld(); }

 private:
  std::error_code FindInHeld(std::u16string_view prefix, std::u16string_view name, bool& exists,
                             bool& held) override {
    PosixPlace place;
    InHeld(name, place);
    return Find(prefix, place, exists, held);
  }

  std::error_code MakeInHeld(std::u16string_view, std::u16string_view name, bool& held) override {
    PosixPlace place;
    InHeld(name, place);
    return Make(place, held);
  }

  std::error_code FindLocated(std::u16string_view prefix, const ResolvedPath& resolved,
                              bool& exists, bool& held) override {
    PosixPlace place;
    exists = false;
    if (paths_.Locate(resolved, place)) return {};  // a level above is missing, or no such path
    if (!place.name.empty()) return Find(prefix, place, exists, held);
    exists = true;  // a drive's top or the current folder
    held = Hold(Fd(::fcntl(place.folder, F_DUPFD_CLOEXEC, 0)), std::u16string(place.folderKey));
    return {};
  }

  std::error_code MakeLocated(std::u16string_view, const ResolvedPath& resolved,
                              bool& held) override {
    PosixPlace place;
    if (auto ec = paths_.Locate(resolved, place)) return ec;
    if (place.name.empty()) return std::make_error_code(std::errc::file_exists);
    return Make(place, held);
  }

  void DropHeld() override {
    if (folder_) {
      try {
        paths_.Cache().Remember(folderKey_, std::move(folder_));
      } catch (const std::bad_alloc&) {
        // Not kept: the handle closes.
      }
    }
    folder_.Reset();
    folderKey_.clear();
  }

  const CurrentFolder& Current() override { return paths_.Drives().Current(); }

  // The place of `name` in the held folder.
  void InHeld(std::u16string_view name, PosixPlace& place) const {
    place.folder = folder_.Get();
    place.folderKey = folderKey_;
    place.name = Utf16ToUtf8(name);
    place.key = KeyOf(name);
  }

  // Whether a folder is at the place; it is held when it is.
  std::error_code Find(std::u16string_view prefix, PosixPlace& place, bool& exists, bool& held) {
    std::u16string entry = EntryKey(place.folderKey, place.key);
    if (prefix.size() == Text().size()) {
      // The walk's last level, held since an earlier call of the run: whether that folder is
      // still there is one question to the host, and no new handle is needed.
      if (Fd known = paths_.Cache().Take(entry)) {
        struct stat st;
        if (::fstat(known.Get(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_nlink > 0) {
          exists = true;
          held = Hold(std::move(known), std::move(entry));
          return {};
        }
        paths_.Cache().Forget(entry);
      }
    }
    // Opening it answers the question afresh and gives the handle the next level is found from.
    Fd fd(paths_.AtAnyCase(place, OpenFolder));
    if (!fd) {
      paths_.Cache().Forget(entry);
      exists = false;
      return {};
    }
    exists = true;
    held = Hold(std::move(fd), EntryKey(place.folderKey, place.key));
    return {};
  }

  std::error_code Make(PosixPlace& place, bool& held) {
    // A folder by the same name in another case is the same folder to Windows.
    if (paths_.TakenByOtherSpelling(place)) return std::make_error_code(std::errc::file_exists);
    if (::mkdirat(place.folder, place.name.c_str(), 0777) != 0) return LastError();
    paths_.Made(place, /*folder=*/true);
    held = Hold(Fd(OpenFolder(place.folder, place.name)), EntryKey(place.folderKey, place.key));
    return {};
  }

  // Holds `folder` (nothing when it could not be opened) as the folder `key` names.
  bool Hold(Fd folder, std::u16string key) {
    paths_.Cache().Retire(std::move(folder_));
    folderKey_.clear();
    if (!folder) return false;
    folder_ = std::move(folder);
    folderKey_ = std::move(key);
    return true;
  }

  PosixPaths& paths_;
  Fd folder_;                 // the folder held, if any
  std::u16string folderKey_;  // its key
};

}  // namespace

std::error_code PosixPaths::Locate(std::u16string_view path, PosixPlace& place) {
  const CurrentFolder none;
  const CurrentFolder& current = DependsOnCurrentFolder(path) ? drives_.Current() : none;
  return Locate(ResolveWindowsPath(path, current), place);
}

std::error_code PosixPaths::Locate(const ResolvedPath& resolved, PosixPlace& place) {
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
  if (!HasOtherSpellings(place.key)) return {};
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
    Gone(place.folderKey, other);
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

void PosixPaths::Gone(std::u16string_view folderKey, std::string_view name) {
  if (FolderNames* names = cache_.Names(folderKey)) names->Remove(name);
}

std::unique_ptr<FolderWalk> PosixPaths::Walk(std::u16string_view path) {
  return std::make_unique<PosixWalk>(*this, path);
}

}  // namespace calendario
