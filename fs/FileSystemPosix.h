// The POSIX backend of the file-system layer: Windows paths mapped onto host folders.
//
//   X:\a\b   -> <drives>/x/a/b, where <drives> is ${XDG_DATA_HOME:-$HOME/.local/share}/
//               calendario/drives. A drive exists when its folder (or a link there) does; C:'s
//               folder is made when first needed, and Z: is the host's / unless <drives>/z is
//               there.
//   \a       -> the top of drive C:
//   a\b      -> relative to the process's current folder
//   \\srv\x  -> nothing: no server share exists or can be made
//
// Levels are walked from directory handles, never handed to the kernel as one long path, so
// paths longer than PATH_MAX work. Files are opened without following a link at the last
// level, and appended to with O_APPEND, one write a line. Lock is an advisory lock (flock) on
// the file's folder, which stays the same while the file in it is deleted and made again.
#pragma once

#include <sys/stat.h>

#include <array>
#include <string>
#include <vector>

#include "fs/FileSystem.h"

namespace calendario {

class PosixFileSystem final : public FileSystemLayer {
 public:
  // drivesFolder: the host folder holding one folder per drive letter. With an empty text no
  // instance can be had.
  explicit PosixFileSystem(std::string drivesFolder);
  ~PosixFileSystem() override;
  PosixFileSystem(const PosixFileSystem&) = delete;
  PosixFileSystem& operator=(const PosixFileSystem&) = delete;

  // ${XDG_DATA_HOME:-$HOME/.local/share}/calendario/drives, or "" when neither variable gives
  // an absolute folder.
  static std::string DrivesFolderFromEnvironment();

  std::error_code Obtain() override;
  std::error_code FolderExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateFolder(std::u16string_view path) override;
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
  std::error_code Lock(std::u16string_view path, StreamId& lock) override;
  std::error_code Unlock(StreamId lock) override;

 private:
  class Target;
  struct CachedFolder {
    std::u16string text;  // the Windows text that named it
    int fd = -1;
    bool owned = false;  // false for a drive's top, which driveFds_ owns
    int pins = 0;        // locks held on it: not to be closed meanwhile
  };
  std::error_code Resolve(std::u16string_view path, Target& target);
  std::error_code OpenFolder(std::u16string_view text, int& fd);
  std::error_code DriveTop(char16_t drive, int& fd);
  CachedFolder* FindFolder(std::u16string_view text);
  void Remember(std::u16string_view text, int fd, bool owned);
  // Drops what the cache holds for the text and every level below it.
  void Forget(std::u16string_view text);
  // The stat of `path` when the last call was FileExists, GetFile or Size on the same path.
  const struct stat* Remembered(std::u16string_view path) const;
  std::error_code StatFile(std::u16string_view path, struct stat& st);

  std::string drivesFolder_;
  std::array<int, 26> driveFds_;
  // The folders most recently reached, most recent last: a path walked level by level, or a
  // file reached again, is found from them with one call instead of from the top again.
  std::vector<CachedFolder> folders_;
  // FileExists, GetFile and Size on one file, one straight after the other, ask the host once:
  // any other call forgets the answer.
  std::u16string statPath_;
  struct stat stat_ {};
  bool statValid_ = false;
};

}  // namespace calendario
