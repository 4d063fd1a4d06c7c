// The POSIX backend of the file-system layer: Windows paths mapped onto host folders.
//
//   X:\a\b   -> <drives>/x/a/b, where <drives> is ${XDG_DATA_HOME:-$HOME/.local/share}/
//               calendario/drives. A drive exists when its folder (or a link there) does; C:'s
//               folder is made when first needed, and Z: is the host's / unless <drives>/z is
//               there.
//   \a       -> the top of drive C:
//   a\b      -> from the current folder: as Windows would from its drive and folder when
//               it lies inside a drive's host folder (".." stops at the drive's top),
//               otherwise as the host means it
//   \\srv\x  -> nothing: no server share exists or can be made
//
// Levels are walked from folder handles, never handed to the kernel as one long path, so
// paths longer than PATH_MAX work. Files are opened without following a link at the last
// level, and appended to with O_APPEND, one write a line. Lock is an advisory lock (flock) on
// the file's folder, which stays the same while the file in it is deleted and made again.
#pragma once

#include <sys/stat.h>

#include <array>
#include <string>

#include "fs/FileSystem.h"
#include "fs/PosixFd.h"
#include "fs/PosixFolderCache.h"

namespace calendario {

class PosixFileSystem final : public FileSystemLayer {
 public:
  // drivesFolder: the host folder holding one folder per drive letter. With an empty text no
  // instance can be had.
  explicit PosixFileSystem(std::string drivesFolder);

  // ${XDG_DATA_HOME:-$HOME/.local/share}/calendario/drives, or "" when neither variable gives
  // an absolute folder. When XDG_DATA_HOME turns out to name something other than a folder (a
  // file, /dev/null), the backend falls back to HOME's folder the first time it looks.
  static std::string DrivesFolderFromEnvironment();
  static std::string DrivesFolderFromHome();

  using FileSystemLayer::CreateFolder;
  using FileSystemLayer::FolderExists;
  std::error_code Obtain() override;
  std::error_code FolderExists(std::u16string_view path, bool& exists, FolderWalk* walk) override;
  std::error_code CreateFolder(std::u16string_view path, FolderWalk* walk) override;
  std::error_code FileExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                 StreamId& stream) override;
  std::error_code GetFile(std::u16string_view path) override;
  std::error_code Size(std::u16string_view path, std::uint64_t& bytes) override;
  std::error_code Delete(std::u16string_view path, bool force) override;
  std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                   StreamId& stream) override;
  std::error_code WriteLine(StreamId stream, std::u16string_view text) override;
  std::error_code Close(StreamId stream) override;
  std::error_code Lock(std::u16string_view path, LockId& lock) override;
  std::error_code Unlock(LockId lock) override;
  void EndWalk(FolderWalk& walk) noexcept override;

 private:
  // The folder that holds a path's last level, and that level's host name.
  struct Target {
    int fd = -1;  // the folder: `owned`, or a handle the cache or a drive's top holds
    Fd owned;
    std::string name;  // empty: the path names the folder `fd` itself
    bool endsWithSeparator = false;
    // Whether the path names the folder it would name as the folder part of a longer path,
    // and `fd` outlives the call: then the folder may be kept under the path's text.
    bool remember = true;
    // `fd` is a folder the walk has just made, so nothing is likely to be in it yet.
    bool fresh = false;
    // A path that cannot name a file: a drive's top, the current folder, or a trailing "\".
    bool NotAFile() const { return name.empty() || endsWithSeparator; }
  };

  // FileExists, GetFile and Size on one file, one straight after the other, ask the host
  // once. Every call that reaches a path otherwise (Locate) and every write drops the answer.
  class StatMemo {
   public:
    const struct stat* Find(std::u16string_view path) const {
      return valid_ && path_ == path ? &stat_ : nullptr;
    }
    // Copies what is known of `path` into `st`; false when nothing is.
    bool Copy(std::u16string_view path, struct stat& st) const {
      const struct stat* known = Find(path);
      if (known != nullptr) st = *known;
      return known != nullptr;
    }
    void Keep(std::u16string_view path, const struct stat& st) {
      path_.assign(path);
      stat_ = st;
      valid_ = true;
    }
    void Drop() { valid_ = false; }

   private:
    std::u16string path_;
    struct stat stat_ {};
    bool valid_ = false;
  };

  // Finds the folder of the path's last level: from the walk's folder when the path is the
  // walk's current prefix, otherwise by Resolve.
  std::error_code Locate(std::u16string_view path, FolderWalk* walk, Target& target);
  std::error_code Resolve(std::u16string_view path, Target& target);
  // The folder the text names, as a level with more after it; a handle the cache owns.
  std::error_code OpenFolder(std::u16string_view text, int& fd);
  std::error_code DriveTop(char16_t drive, int& fd);
  // When the drives folder turns out not to be a folder: HOME's instead, if it is another.
  bool FallBackToHome();
  // After a folder operation on the walk's current prefix: keeps in the walk the folder that
  // prefix names as a level with more after it, reached from `target`.
  void Advance(FolderWalk& walk, const Target& target, Fd opened);
  std::error_code StatFile(std::u16string_view path, struct stat& st);
  // No drive and no leading separator.
  static bool IsRelative(std::u16string_view path);
  // The current folder as a Windows path ("C:\\a\\b") when it lies inside a drive's host
  // folder, the innermost one; "" when it lies outside every one. Found once.
  const std::u16string& CurrentFolderInDrive();

  std::string drivesFolder_;
  std::array<Fd, 26> drives_;
  FolderCache folders_;
  StatMemo memo_;
  std::u16string current_;
  bool currentKnown_ = false;
  // The open stream whose next line starts with a line end of its own: its file ended in a
  // fragment when it was opened. At most one stream is open at a time.
  int lineBreakFirst_ = -1;
};

}  // namespace calendario
