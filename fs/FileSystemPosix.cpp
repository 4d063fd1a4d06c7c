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

constexpr std::size_t kCachedFolders = 4;

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
  for (const CachedFolder& folder : folders_) {
    if (folder.owned) CloseQuietly(folder.fd);
  }
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

PosixFileSystem::CachedFolder* PosixFileSystem::FindFolder(std::u16string_view text) {
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
    if (it->text == text) return &*it;
  }
  return nullptr;
}

void PosixFileSystem::Remember(std::u16string_view text, int fd, bool owned) {
  if (CachedFolder* known = FindFolder(text)) {
    if (known->pins > 0) {  // locked: keep the handle the lock is on
      if (owned) CloseQuietly(fd);
      return;
    }
    if (known->owned) CloseQuietly(known->fd);
    known->fd = fd;
    known->owned = owned;
    return;
  }
  if (folders_.size() == kCachedFolders) {
    for (auto it = folders_.begin(); it != folders_.end(); ++it) {
      if (it->pins == 0) {
        if (it->owned) CloseQuietly(it->fd);
        folders_.erase(it);
        break;
      }
    }
  }
  folders_.push_back(CachedFolder{std::u16string(text), fd, owned, 0});
}

void PosixFileSystem::Forget(std::u16string_view text) {
  for (auto it = folders_.begin(); it != folders_.end();) {
    const bool below = it->text.size() > text.size() && IsSeparator(it->text[text.size()]) &&
                       std::u16string_view(it->text).substr(0, text.size()) == text;
    if ((it->text == text || below) && it->pins == 0) {
      if (it->owned) CloseQuietly(it->fd);
      it = folders_.erase(it);
    } else {
      ++it;
    }
  }
}

// The folder a text names, as a handle that stays owned by the cache until the next call.
std::error_code PosixFileSystem::OpenFolder(std::u16string_view text, int& fd) {
  if (const CachedFolder* known = FindFolder(text)) {
    fd = known->fd;
    return {};
  }
  // One level below a folder reached before.
  for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) {
    const std::size_t n = it->text.size();
    if (text.size() <= n + 1 || !IsSeparator(text[n]) || text.substr(0, n) != it->text) continue;
    const std::u16string_view level = text.substr(n + 1);
    bool oneLevel = IsPlainName(level);
    for (char16_t c : level) oneLevel = oneLevel && !IsSeparator(c);
    if (!oneLevel) break;
    const int next = ::openat(it->fd, Utf16ToUtf8(level).c_str(), kFolderFlags);
    if (next < 0) return LastError();
    Remember(text, next, true);
    fd = next;
    return {};
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

const struct stat* PosixFileSystem::Remembered(std::u16string_view path) const {
  return statValid_ && statPath_ == path ? &stat_ : nullptr;
}

// The file's stat, following a link, as FileExists, GetFile and Size see it.
std::error_code PosixFileSystem::StatFile(std::u16string_view path, struct stat& st) {
  if (const struct stat* known = Remembered(path)) {
    st = *known;
    return {};
  }
  statValid_ = false;
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  if (::fstatat(target.fd, target.name.c_str(), &st, 0) != 0) return LastError();
  statPath_.assign(path);
  stat_ = st;
  statValid_ = true;
  return {};
}

std::error_code PosixFileSystem::FolderExists(std::u16string_view path, bool& exists) {
  statValid_ = false;
  exists = false;
  Target target;
  if (Resolve(path, target)) return {};  // a level above is missing or cannot exist
  if (target.IsTop()) {
    exists = true;
    return {};
  }
  // Opening it answers the question afresh and gives the handle the next level is found from.
  const int fd = ::openat(target.fd, target.name.c_str(), kFolderFlags);
  if (fd < 0) {
    if (!target.owned) Forget(path);
    return {};
  }
  exists = true;
  if (target.owned) {
    ::close(fd);
  } else {
    Remember(path, fd, true);
  }
  return {};
}

std::error_code PosixFileSystem::CreateFolder(std::u16string_view path) {
  statValid_ = false;
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.IsTop()) return std::make_error_code(std::errc::file_exists);
  if (::mkdirat(target.fd, target.name.c_str(), 0777) != 0) return LastError();
  if (!target.owned) Forget(path);  // a folder by this name was just made anew
  return {};
}

std::error_code PosixFileSystem::FileExists(std::u16string_view path, bool& exists) {
  struct stat st;
  exists = !StatFile(path, st) && S_ISREG(st.st_mode);
  return {};
}

std::error_code PosixFileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  statValid_ = false;
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
  struct stat st;
  if (auto ec = StatFile(path, st)) return ec;
  if (S_ISDIR(st.st_mode)) return FsErrc::kNotAFile;
  if (!S_ISREG(st.st_mode)) return FsErrc::kNoSuchPath;
  bytes = static_cast<std::uint64_t>(st.st_size);
  return {};
}

std::error_code PosixFileSystem::Delete(std::u16string_view path, bool /*force*/) {
  // Unlinking never asks the file's own mode, so a read-only file goes like any other.
  statValid_ = false;
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  if (::unlinkat(target.fd, target.name.c_str(), 0) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  statValid_ = false;
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
  statValid_ = false;
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
  statValid_ = false;
  if (::close(static_cast<int>(stream)) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Lock(std::u16string_view path, StreamId& lock) {
  statValid_ = false;
  Target target;
  if (auto ec = Resolve(path, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  if (target.owned || target.fd == AT_FDCWD) return FsErrc::kUnsupported;  // no cached folder
  CachedFolder* folder = nullptr;
  for (CachedFolder& known : folders_) {
    if (known.fd == target.fd) folder = &known;
  }
  if (folder == nullptr) return FsErrc::kUnsupported;
  timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  while (::flock(folder->fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return LastError();
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long waited =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited >= kLockWaitMilliseconds) return std::make_error_code(std::errc::timed_out);
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  ++folder->pins;
  lock = folder->fd;
  return {};
}

std::error_code PosixFileSystem::Unlock(StreamId lock) {
  statValid_ = false;
  const int fd = static_cast<int>(lock);
  const int unlocked = ::flock(fd, LOCK_UN);
  const std::error_code ec = unlocked == 0 ? std::error_code() : LastError();
  for (CachedFolder& folder : folders_) {
    if (folder.fd == fd && folder.pins > 0) --folder.pins;
  }
  return ec;
}

}  // namespace calendario
