// POSIX only: everything here talks to the host through open/openat and friends.
#include "fs/FileSystemPosix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "fs/Text.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
// O_NONBLOCK keeps a planted FIFO from hanging the run; it changes nothing for a file.
constexpr int kFileFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::error_code LastError() {
  return {errno, std::generic_category()};
}

void CloseQuietly(int fd) {
  if (fd >= 0 && fd != AT_FDCWD) ::close(fd);
}

// Makes every missing level of an absolute host folder (the drive C: folder).
bool MakeHostFolders(const std::string& folder) {
  for (std::size_t i = 1; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') {
      const std::string level = folder.substr(0, i);
      if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

}  // namespace

// The folder that holds a path's last level, and that level's host name. For a drive's top or
// the current folder itself, `name` is empty and `fd` is that folder.
class PosixFileSystem::Target {
 public:
  Target() = default;
  Target(const Target&) = delete;
  Target& operator=(const Target&) = delete;
  ~Target() {
    if (owned) CloseQuietly(fd);
  }

  int fd = -1;
  bool owned = false;
  std::string name;
  bool endsWithSeparator = false;
  bool IsTop() const { return name.empty(); }
  // A path that cannot name a file: a drive's top, the current folder, or a trailing "\".
  bool NotAFile() const { return IsTop() || endsWithSeparator; }
};

PosixFileSystem::PosixFileSystem(std::string drivesFolder)
    : drivesFolder_(std::move(drivesFolder)) {
  driveFds_.fill(-1);
}

PosixFileSystem::~PosixFileSystem() {
  if (cachedOwned_) CloseQuietly(cachedFd_);
  for (int fd : driveFds_) CloseQuietly(fd);
}

std::string PosixFileSystem::DrivesFolderFromEnvironment() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  std::string base;
  if (dataHome != nullptr && dataHome[0] == '/') {
    base = dataHome;
  } else {
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] != '/') return {};
    base = std::string(home) + "/.local/share";
  }
  return base + "/calendario/drives";
}

std::error_code PosixFileSystem::Obtain() {
  if (drivesFolder_.empty()) return FsErrc::kUnavailable;
  return {};
}

std::error_code PosixFileSystem::DriveTop(char16_t drive, int& fd) {
  int& slot = driveFds_[drive - u'a'];
  if (slot < 0) {
    const std::string folder = drivesFolder_ + '/' + static_cast<char>(drive);
    int opened = ::open(folder.c_str(), kFolderFlags);
    if (opened < 0 && errno == ENOENT) {
      if (drive == u'c') {
        // The top of a drive always exists: C:'s folder is made the first time it is needed.
        if (MakeHostFolders(folder)) opened = ::open(folder.c_str(), kFolderFlags);
      } else if (drive == u'z') {
        opened = ::open("/", kFolderFlags);
      } else {
        return FsErrc::kNoSuchPath;
      }
    }
    if (opened < 0) return LastError();
    slot = opened;
  }
  fd = slot;
  return {};
}

void PosixFileSystem::Remember(std::u16string_view text, int fd, bool owned) {
  if (cachedOwned_) CloseQuietly(cachedFd_);
  cachedText_.assign(text);
  cachedFd_ = fd;
  cachedOwned_ = owned;
}

// The folder a text names, as a handle that stays owned by the cache.
std::error_code PosixFileSystem::OpenFolder(std::u16string_view text, int& fd) {
  if (cachedFd_ >= 0 || cachedFd_ == AT_FDCWD) {
    if (text == cachedText_) {
      fd = cachedFd_;
      return {};
    }
    // One level below the folder last reached.
    const std::size_t n = cachedText_.size();
    if (text.size() > n + 1 && text.substr(0, n) == cachedText_ && IsSeparator(text[n])) {
      const std::u16string_view level = text.substr(n + 1);
      bool oneLevel = IsPlainName(level);
      for (char16_t c : level) oneLevel = oneLevel && !IsSeparator(c);
      if (oneLevel) {
        const int next = ::openat(cachedFd_, Utf16ToUtf8(level).c_str(), kFolderFlags);
        if (next < 0) return LastError();
        Remember(text, next, true);
        fd = next;
        return {};
      }
    }
  }

  const WindowsPath parsed = ParseWindowsPath(text);
  if (parsed.root == PathRoot::kServer) return FsErrc::kNoSuchPath;
  if (!parsed.validNames) return FsErrc::kInvalidName;
  int current = AT_FDCWD;
  if (parsed.root == PathRoot::kDrive) {
    if (auto ec = DriveTop(parsed.drive, current)) return ec;
  }
  bool owned = false;
  for (const std::u16string& level : parsed.levels) {
    const int next = ::openat(current, Utf16ToUtf8(level).c_str(), kFolderFlags);
    const int saved = errno;
    if (owned) CloseQuietly(current);
    if (next < 0) return {saved, std::generic_category()};
    current = next;
    owned = true;
  }
  Remember(text, current, owned);
  fd = current;
  return {};
}

std::error_code PosixFileSystem::Resolve(std::u16string_view path, Target& target) {
  if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    return FsErrc::kNoSuchPath;
  }
  // Split off the last level. The folder part keeps a lone leading separator ("\x" lies in
  // "\") and a drive ("C:x" and "C:\x" lie in "C:").
  std::size_t cut = path.size();
  while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
  std::u16string_view folder;
  std::u16string_view name;
  bool hasFolder = true;
  if (cut > 0) {
    folder = path.substr(0, cut == 1 ? 1 : cut - 1);
    name = path.substr(cut);
  } else if (path.size() >= 2 && path[1] == u':') {
    folder = path.substr(0, 2);
    name = path.substr(2);
  } else {
    hasFolder = false;
    name = path;
  }

  if (IsPlainName(name)) {
    if (hasFolder) {
      if (auto ec = OpenFolder(folder, target.fd)) return ec;
    } else {
      target.fd = AT_FDCWD;
    }
    target.name = Utf16ToUtf8(name);
    return {};
  }

  // The last level is not a plain name ("..", trailing dots, nothing at all): resolve the
  // whole path and walk to the folder of whatever level comes last.
  const WindowsPath parsed = ParseWindowsPath(path);
  if (!parsed.validNames) return FsErrc::kInvalidName;
  target.endsWithSeparator = parsed.endsWithSeparator;
  int current = AT_FDCWD;
  if (parsed.root == PathRoot::kDrive) {
    if (auto ec = DriveTop(parsed.drive, current)) return ec;
  }
  const std::size_t count = parsed.levels.size();
  for (std::size_t i = 0; i + 1 < count; ++i) {
    const int next = ::openat(current, Utf16ToUtf8(parsed.levels[i]).c_str(), kFolderFlags);
    const int saved = errno;
    if (target.owned) CloseQuietly(current);
    if (next < 0) return {saved, std::generic_category()};
    current = next;
    target.owned = true;
  }
  target.fd = current;
  if (count > 0) target.name = Utf16ToUtf8(parsed.levels.back());
  return {};
}

std::error_code PosixFileSystem::FolderExists(std::u16string_view path, bool& exists) {
  exists = false;
  Target target;
  if (Resolve(path, target)) return {};  // a level above is missing or cannot exist
  if (target.IsTop()) {
    exists = true;
    return {};
  }
  struct stat st;
  exists = ::fstatat(target.fd, target.name.c_str(), &st, 0) == 0 && S_ISDIR(st.st_mode);
  return {};
}

std::error_code PosixFileSystem::CreateFolder(std::u16string_view path) {
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.IsTop()) return std::make_error_code(std::errc::file_exists);
  if (::mkdirat(target.fd, target.name.c_str(), 0777) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::FileExists(std::u16string_view path, bool& exists) {
  exists = false;
  Target target;
  if (Resolve(path, target) || target.NotAFile()) return {};
  struct stat st;
  exists = ::fstatat(target.fd, target.name.c_str(), &st, 0) == 0 && S_ISREG(st.st_mode);
  return {};
}

std::error_code PosixFileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  if (unicode) return FsErrc::kUnsupported;
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  const int flags = kFileFlags | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
  const int fd = ::openat(target.fd, target.name.c_str(), flags, 0666);
  if (fd < 0) return LastError();
  stream = fd;
  return {};
}

std::error_code PosixFileSystem::GetFile(std::u16string_view path) {
  std::uint64_t ignored = 0;
  return Size(path, ignored);
}

std::error_code PosixFileSystem::Size(std::u16string_view path, std::uint64_t& bytes) {
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  struct stat st;
  if (::fstatat(target.fd, target.name.c_str(), &st, 0) != 0) return LastError();
  if (S_ISDIR(st.st_mode)) return FsErrc::kNotAFile;
  if (!S_ISREG(st.st_mode)) return FsErrc::kNoSuchPath;
  bytes = static_cast<std::uint64_t>(st.st_size);
  return {};
}

std::error_code PosixFileSystem::Delete(std::u16string_view path, bool /*force*/) {
  // Unlinking never asks the file's own mode, so a read-only file goes like any other.
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  if (::unlinkat(target.fd, target.name.c_str(), 0) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  const int fd = ::openat(target.fd, target.name.c_str(), kFileFlags | O_APPEND);
  if (fd < 0) return LastError();
  stream = fd;
  return {};
}

std::error_code PosixFileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  const int fd = static_cast<int>(stream);
  std::string line = Utf16ToWindows1252(text);
  line += "\r\n";
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return LastError();
  if (static_cast<std::size_t>(written) == line.size()) return {};
  // Part of the line went in (disk full, a file-size limit): take it out again, so the file
  // ends where it ended before.
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  if (end >= written) (void)::ftruncate(fd, end - written);
  return FsErrc::kPartialWrite;
}

std::error_code PosixFileSystem::Close(StreamId stream) {
  if (::close(static_cast<int>(stream)) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Lock(std::u16string_view path, StreamId& lock) {
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  for (;;) {
    const int fd =
        ::openat(target.fd, target.name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return LastError();
    int locked;
    for (;;) {
      locked = ::flock(fd, LOCK_EX | LOCK_NB);
      if (locked == 0 || errno != EWOULDBLOCK) break;
      timespec now;
      ::clock_gettime(CLOCK_MONOTONIC, &now);
      const long waited =
          (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
      if (waited >= kLockWaitMilliseconds) break;
      const timespec pause{0, 1000000};
      ::nanosleep(&pause, nullptr);
    }
    if (locked != 0) {
      const std::error_code ec = LastError();
      ::close(fd);
      return ec;
    }
    // The lock is on what was opened. If another run deleted the file meanwhile, the path
    // names a new file that this lock does not cover: start again on that one.
    struct stat held;
    struct stat named;
    if (::fstat(fd, &held) == 0 &&
        ::fstatat(target.fd, target.name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
        held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
      lock = fd;
      return {};
    }
    ::close(fd);
  }
}

std::error_code PosixFileSystem::Unlock(StreamId lock) {
  // Closing the only descriptor of the open file lets go of its lock.
  if (::close(static_cast<int>(lock)) != 0) return LastError();
  return {};
}

}  // namespace calendario
