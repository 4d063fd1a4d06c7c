// Windows paths carried out on POSIX folder handles: what fs/WindowsPath says a path means,
// reached level by level from a drive's top (or the host's current folder), never handed to
// the kernel as one long path, so paths longer than PATH_MAX work. Names are found as Windows
// finds them, without regard to case: the exact name costs one call; only a name that is not
// there exactly, and that has other spellings, costs a read of its folder, once a run.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "fs/FileSystem.h"
#include "fs/PosixDrives.h"
#include "fs/PosixFd.h"
#include "fs/PosixFolderCache.h"

namespace calendario {

// Where a path's last level lies on the host: the folder that holds it, and its name there.
// Not to be moved: `folderKey` may be a view of `keyStorage`.
struct PosixPlace {
  int folder = -1;                // a handle its holder keeps: the cache, the drives or a walk
  std::u16string_view folderKey;  // the folder's key (see FolderCache)
  std::u16string keyStorage;
  std::string name;    // the level's host name; "" when the path names `folder` itself
  std::u16string key;  // the level's key
  bool endsWithSeparator = false;

  PosixPlace() = default;
  PosixPlace(const PosixPlace&) = delete;
  PosixPlace& operator=(const PosixPlace&) = delete;
  // A drive's top, the current folder, or a trailing separator: no file.
  bool NotAFile() const { return name.empty() || endsWithSeparator; }
};

class PosixPaths {
 public:
  explicit PosixPaths(PosixDrives& drives) : drives_(drives) {}

  PosixDrives& Drives() { return drives_; }
  FolderCache& Cache() { return cache_; }

  // Resolves the path and reaches the folder of its last level. Fails with kNoSuchPath for a
  // server or device path, kInvalidName for a name Windows refuses, or with what the host
  // says of a level on the way.
  std::error_code Locate(std::u16string_view path, PosixPlace& place);
  // The same, for a path already resolved.
  std::error_code Locate(const ResolvedPath& resolved, PosixPlace& place);

  // The host name of another entry in the place's folder whose key is the place's (not the
  // place's own name, which the host is asked for directly), as read from the folder once a
  // run; "" when there is none, or the name has no other spelling.
  std::string OtherSpelling(const PosixPlace& place);
  // True when another spelling of the place's name is there now (it then becomes the place's
  // name): what a new entry by the place's name would be taken for on Windows.
  bool TakenByOtherSpelling(PosixPlace& place);

  // Runs op(folder, name) (an openat, fstatat or unlinkat returning -1 with errno) on the
  // place's entry: by its exact name, or when that is not there, by another spelling of it,
  // which then becomes the place's name.
  template <typename Op>
  int AtAnyCase(PosixPlace& place, Op op) {
    const int result = op(place.folder, place.name);
    if (result >= 0 || errno != ENOENT) return result;
    std::string other = OtherSpelling(place);
    if (other.empty() || other == place.name) {
      errno = ENOENT;
      return -1;
    }
    place.name = std::move(other);
    return op(place.folder, place.name);
  }

  // What this run made at the place, or found gone (deleted, or no longer there) by `name` in
  // the folder `folderKey`, told here every time by whoever made or missed it: the one writer
  // of what the run knows of a folder's names, so that what is known stays true. A folder made
  // is known to hold nothing yet.
  void Made(const PosixPlace& place, bool folder);
  void Gone(std::u16string_view folderKey, std::string_view name);

  // A walk of CreateFolderPath (see FolderWalk) on folder handles. May throw std::bad_alloc.
  std::unique_ptr<FolderWalk> Walk(std::u16string_view path);

 private:
  // Opens the folder `name` (whose key is `key`) in `folder` by any case.
  int OpenFolderAt(int folder, std::u16string_view folderKey, std::u16string_view name,
                   std::u16string_view key);

  PosixDrives& drives_;
  FolderCache cache_;
};

}  // namespace calendario
