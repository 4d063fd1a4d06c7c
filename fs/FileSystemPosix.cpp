// POSIX only: everything here talks to the host through open/openat and friends.
#include "fs/FileSystemPosix.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <new>
#include <utility>
#include <vector>

#include "fs/PosixAnyCase.h"
#include "fs/Text.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
constexpr const char* kDrivesBelow = "/calendario/drives";
// O_NONBLOCK keeps a planted FIFO from hanging the run; it changes nothing for a file.
constexpr int kFileFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::error_code LastError() {
  return {errno, std::generic_category()};
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

// Opens the first `count` levels in turn from `from`, which stays its holder's. Afterwards
// `fd` is the last folder reached, held by `owned` unless no level was opened.
std::error_code WalkLevels(int from, const std::vector<std::u16string>& levels, std::size_t count,
                           Fd& owned, int& fd) {
  fd = from;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name = Utf16ToUtf8(levels[i]);
    const int next = OpenAtAnyCase(fd, name, kFolderFlags);
    if (next < 0) {
      const std::error_code ec = LastError();
      owned.Reset();
      return ec;
    }
    owned.Reset(next);
    fd = next;
  }
  return {};
}

// The last level of a path: what follows its last separator.
std::u16string_view LastLevelOf(std::u16string_view path) {
  std::size_t cut = path.size();
  while (cut > 0 && !IsSeparator(path[cut - 1])) --cut;
  return path.substr(cut);
}

// Takes an exclusive advisory lock on `fd`, trying for `milliseconds` at most.
std::error_code WaitForLock(int fd, int milliseconds) {
  timespec start;
  ::clock_gettime(CLOCK_MONOTONIC, &start);
  while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK) return LastError();
    timespec now;
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const long waited =
        (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
    if (waited >= milliseconds) return std::make_error_code(std::errc::timed_out);
    const timespec pause{0, 1000000};
    ::nanosleep(&pause, nullptr);
  }
  return {};
}

}  // namespace

PosixFileSystem::PosixFileSystem(std::string drivesFolder)
    : drivesFolder_(std::move(drivesFolder)) {}

std::string PosixFileSystem::DrivesFolderFromEnvironment() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + kDrivesBelow;
  return DrivesFolderFromHome();
}

std::string PosixFileSystem::DrivesFolderFromHome() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + "/.local/share" + kDrivesBelow;
}

bool PosixFileSystem::FallBackToHome() {
  // XDG_DATA_HOME names a file (or /dev/null): unusable, as if it were not set at all.
  std::string home = DrivesFolderFromHome();
  if (home.empty() || home == drivesFolder_) return false;
  drivesFolder_ = std::move(home);
  return true;
}

std::error_code PosixFileSystem::Obtain() {
  if (drivesFolder_.empty()) return FsErrc::kUnavailable;
  return {};
}

std::error_code PosixFileSystem::DriveTop(char16_t drive, int& fd) {
  Fd& slot = drives_[drive - u'a'];
  if (!slot) {
    const std::string folder = drivesFolder_ + '/' + static_cast<char>(drive);
    Fd opened(::open(folder.c_str(), kFolderFlags));
    if (!opened && errno == ENOTDIR && FallBackToHome()) return DriveTop(drive, fd);
    if (!opened && errno == ENOENT) {
      if (drive == u'c') {
        // The top of a drive always exists: C:'s folder is made the first time it is needed.
        if (MakeHostFolders(folder)) {
          opened.Reset(::open(folder.c_str(), kFolderFlags));
        } else if (errno == ENOTDIR && FallBackToHome()) {
          return DriveTop(drive, fd);
        }
      } else if (drive == u'z') {
        opened.Reset(::open("/", kFolderFlags));
      } else {
        return FsErrc::kNoSuchPath;
      }
    }
    if (!opened) return LastError();
    slot = std::move(opened);
  }
  fd = slot.Get();
  return {};
}

std::error_code PosixFileSystem::OpenFolder(std::u16string_view text, int& fd) {
  fd = folders_.Find(text);
  if (fd >= 0) return {};
  std::size_t levelStart = 0;
  const int parent = folders_.FindParent(text, levelStart);
  if (parent >= 0) {
    std::string name = Utf16ToUtf8(text.substr(levelStart));
    Fd next(OpenAtAnyCase(parent, name, kFolderFlags));
    if (!next) return LastError();
    fd = folders_.Remember(text, std::move(next));
    return {};
  }
  const WindowsPath parsed = ParseWindowsPath(text, /*moreFollows=*/true);
  if (parsed.root == PathRoot::kServer) return FsErrc::kNoSuchPath;
  if (!parsed.validNames) return FsErrc::kInvalidName;
  int start = AT_FDCWD;
  if (parsed.root == PathRoot::kDrive) {
    if (auto ec = DriveTop(parsed.drive, start)) return ec;
  }
  Fd owned;
  if (auto ec = WalkLevels(start, parsed.levels, parsed.levels.size(), owned, fd)) return ec;
  if (owned) fd = folders_.Remember(text, std::move(owned));
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
    target.fd = AT_FDCWD;
    if (hasFolder) {
      if (auto ec = OpenFolder(folder, target.fd)) return ec;
    }
    target.name = Utf16ToUtf8(name);
    return {};
  }

  // The last level is not a plain name ("..", trailing dots, nothing at all): resolve the
  // whole path and walk to the folder of whatever level comes last.
  const WindowsPath parsed = ParseWindowsPath(path);
  if (!parsed.validNames) return FsErrc::kInvalidName;
  target.endsWithSeparator = parsed.endsWithSeparator;
  int start = AT_FDCWD;
  if (parsed.root == PathRoot::kDrive) {
    if (auto ec = DriveTop(parsed.drive, start)) return ec;
  }
  const std::size_t count = parsed.levels.size();
  if (count == 0) {
    target.fd = start;
    return {};
  }
  if (auto ec = WalkLevels(start, parsed.levels, count - 1, target.owned, target.fd)) return ec;
  target.name = Utf16ToUtf8(parsed.levels.back());
  target.remember = false;  // the path does not name its folder as the folder part would
  return {};
}

std::error_code PosixFileSystem::Locate(std::u16string_view path, FolderWalk* walk,
                                        Target& target) {
  memo_.Drop();
  if (walk != nullptr && walk->IsCurrent(path) && walk->folder >= 0 && walk->PreviousLength() > 0 &&
      walk->folderLength == walk->PreviousLength()) {
    const std::u16string_view level = walk->LastLevel();
    bool oneLevel = true;
    for (char16_t c : level) oneLevel = oneLevel && !IsSeparator(c);
    const ResolvedLevel resolved = ResolveLevel(level, /*last=*/true);
    if (oneLevel && resolved.kind != LevelKind::kParent) {
      if (resolved.kind == LevelKind::kName) {
        if (!IsValidName(resolved.name)) return FsErrc::kInvalidName;
        target.name = Utf16ToUtf8(resolved.name);
      }
      target.fd = static_cast<int>(walk->folder);
      target.remember = false;
      target.fresh = walk->folderIsNew;
      return {};
    }
  }
  if (IsRelative(path)) {
    // Inside a drive's host folder a relative path means what it would on Windows, from that
    // drive and folder: ".." stops at the drive's top.
    const std::u16string& current = CurrentFolderInDrive();
    if (!current.empty()) return Resolve(current + u"\\" + std::u16string(path), target);
  }
  return Resolve(path, target);
}

bool PosixFileSystem::IsRelative(std::u16string_view path) {
  if (path.empty() || IsSeparator(path[0])) return false;
  return !(path.size() >= 2 && path[1] == u':');
}

const std::u16string& PosixFileSystem::CurrentFolderInDrive() {
  if (currentKnown_) return current_;
  currentKnown_ = true;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return current_;
  const std::string here = cwd;
  std::free(cwd);
  // The drive whose host folder holds the current folder most closely.
  std::size_t closest = 0;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    const std::string folder = drivesFolder_ + '/' + letter;
    char* real = ::realpath(folder.c_str(), nullptr);
    if (real == nullptr) continue;
    std::string top = real;
    std::free(real);
    if (top == "/") top.clear();
    const bool inside = here.compare(0, top.size(), top) == 0 &&
                        (here.size() == top.size() || here[top.size()] == '/');
    if (!inside || top.size() + 1 <= closest) continue;
    closest = top.size() + 1;
    current_ = {static_cast<char16_t>(u'A' + (letter - 'a')), u':'};
    std::size_t start = top.size() + 1;
    while (start < here.size()) {
      std::size_t end = here.find('/', start);
      if (end == std::string::npos) end = here.size();
      current_ += u'\\';
      current_ += Utf8ToUtf16(std::string_view(here).substr(start, end - start));
      start = end + 1;
    }
  }
  return current_;
}

void PosixFileSystem::Advance(FolderWalk& walk, const Target& target, Fd opened) {
  const std::u16string_view level = LastLevelOf(walk.Text().substr(0, walk.CurrentLength()));
  const ResolvedLevel asLast = ResolveLevel(level, true);
  const ResolvedLevel asFolder = ResolveLevel(level, false);
  Fd next;
  if (asFolder.kind == LevelKind::kParent) {
    EndWalk(walk);  // ".." is resolved from the drive's top again
    return;
  }
  if (asFolder.kind == LevelKind::kSelf) {
    if (target.fd != walk.folder) {
      next.Reset(::fcntl(target.fd, F_DUPFD_CLOEXEC, 0));
    } else {
      walk.folderLength = walk.CurrentLength();
      return;
    }
  } else if (asLast.kind == LevelKind::kName && asLast.name == asFolder.name && opened) {
    next = std::move(opened);
  } else if (IsValidName(asFolder.name) && asFolder.name != u"." && asFolder.name != u"..") {
    // As a level with more after it the name is another one ("r.." is "r." there, "r" here).
    std::string name = Utf16ToUtf8(asFolder.name);
    next.Reset(OpenAtAnyCase(target.fd, name, kFolderFlags));
  }
  folders_.Retire(Fd(static_cast<int>(std::exchange(walk.folder, -1))));
  if (!next) {
    walk.folderLength = 0;
    return;
  }
  walk.folder = next.Release();
  walk.folderLength = walk.CurrentLength();
}

void PosixFileSystem::EndWalk(FolderWalk& walk) noexcept {
  walk.folderIsNew = false;
  if (walk.folder < 0) return;
  Fd fd(static_cast<int>(std::exchange(walk.folder, -1)));
  const std::size_t length = std::exchange(walk.folderLength, 0);
  try {
    folders_.Remember(walk.Text().substr(0, length), std::move(fd));
  } catch (const std::bad_alloc&) {
    // Not kept: the handle closes.
  }
}

std::error_code PosixFileSystem::StatFile(std::u16string_view path, struct stat& st) {
  if (const struct stat* known = memo_.Find(path)) {
    st = *known;
    return {};
  }
  Target target;
  if (auto ec = Locate(path, nullptr, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  if (StatAtAnyCase(target.fd, target.name, st) != 0) return LastError();
  memo_.Keep(path, st);
  return {};
}

std::error_code PosixFileSystem::FolderExists(std::u16string_view path, bool& exists,
                                              FolderWalk* walk) {
  exists = false;
  if (walk != nullptr && !walk->IsCurrent(path)) walk = nullptr;
  Target target;
  if (Locate(path, walk, target)) {  // a level above is missing or cannot exist
    if (walk != nullptr) EndWalk(*walk);
    return {};
  }
  if (target.name.empty()) {
    exists = true;
    if (walk != nullptr) Advance(*walk, target, Fd());  // the same folder: as new as it was
    return {};
  }
  if (target.fresh) {
    // Below a folder this walk has just made there is most likely nothing yet, under any
    // case: a stat finds that out more cheaply than an open, which sets up an open file
    // before it looks, or a read of the folder.
    struct stat st;
    if (::fstatat(target.fd, target.name.c_str(), &st, 0) != 0 || !S_ISDIR(st.st_mode)) {
      return {};
    }
  }
  // Opening it answers the question afresh and gives the handle the next level is found from.
  Fd fd(OpenAtAnyCase(target.fd, target.name, kFolderFlags));
  if (!fd) {
    if (target.remember) folders_.Forget(path);
    return {};
  }
  exists = true;
  if (walk != nullptr) {
    Advance(*walk, target, std::move(fd));
    walk->folderIsNew = false;
  } else if (target.remember && target.fd != AT_FDCWD) {
    folders_.Remember(path, std::move(fd));
  }
  return {};
}

std::error_code PosixFileSystem::CreateFolder(std::u16string_view path, FolderWalk* walk) {
  if (walk != nullptr && !walk->IsCurrent(path)) walk = nullptr;
  Target target;
  if (auto ec = Locate(path, walk, target)) {
    if (walk != nullptr) EndWalk(*walk);
    return ec;
  }
  if (target.name.empty()) return std::make_error_code(std::errc::file_exists);
  // A folder by the same name in another case is the same folder to Windows.
  if (!target.fresh && !FindAnyCase(target.fd, target.name).empty()) {
    return std::make_error_code(std::errc::file_exists);
  }
  if (::mkdirat(target.fd, target.name.c_str(), 0777) != 0) return LastError();
  folders_.Forget(path);  // a folder by this name was just made anew
  if (walk != nullptr) {
    Advance(*walk, target, Fd(::openat(target.fd, target.name.c_str(), kFolderFlags)));
    // The walk now holds the folder just made, unless the level names another folder when
    // more follows it ("r.." is "r." there): only then is it new.
    const std::u16string_view level = LastLevelOf(path);
    const ResolvedLevel asLast = ResolveLevel(level, true);
    const ResolvedLevel asFolder = ResolveLevel(level, false);
    walk->folderIsNew = walk->folder >= 0 && asLast.kind == LevelKind::kName &&
                        asFolder.kind == LevelKind::kName && asLast.name == asFolder.name;
  }
  return {};
}

std::error_code PosixFileSystem::FileExists(std::u16string_view path, bool& exists) {
  struct stat st;
  exists = !StatFile(path, st) && S_ISREG(st.st_mode);
  return {};
}

std::error_code PosixFileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  if (unicode) return FsErrc::kUnsupported;
  Target target;
  if (auto ec = Locate(path, nullptr, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  const std::string existing = FindAnyCase(target.fd, target.name);
  if (!existing.empty()) {
    if (!overwrite) return std::make_error_code(std::errc::file_exists);
    target.name = existing;
  }
  const int flags = kFileFlags | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
  const int fd = ::openat(target.fd, target.name.c_str(), flags, 0666);
  if (fd < 0) return LastError();
  stream = StreamId{fd};
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
  struct stat measured {};
  const bool known = memo_.Copy(path, measured);
  Target target;
  if (auto ec = Locate(path, nullptr, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  if (known) {
    // Only the file just measured goes: not one made since under its name, nor the same one
    // with another run's line added meanwhile.
    struct stat now;
    if (StatAtAnyCase(target.fd, target.name, now) != 0) return LastError();
    // An inode number can be used again at once, so the change time is compared as well.
    if (now.st_dev != measured.st_dev || now.st_ino != measured.st_ino ||
        now.st_size != measured.st_size || now.st_ctim.tv_sec != measured.st_ctim.tv_sec ||
        now.st_ctim.tv_nsec != measured.st_ctim.tv_nsec) {
      return FsErrc::kChanged;
    }
  }
  if (UnlinkAtAnyCase(target.fd, target.name) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  // What the call before this one found of the file, if it asked: its size and its links.
  struct stat st {};
  const bool known = memo_.Copy(path, st);
  Target target;
  if (auto ec = Locate(path, nullptr, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  // Read access as well, to see how the file ends; a file that may only be written is still
  // appended to, without that look.
  bool readable = true;
  Fd fd(OpenAtAnyCase(target.fd, target.name, (kFileFlags & ~O_WRONLY) | O_RDWR | O_APPEND));
  if (!fd && errno == EACCES) {
    readable = false;
    fd.Reset(OpenAtAnyCase(target.fd, target.name, kFileFlags | O_APPEND));
  }
  if (!fd) return LastError();
  if (!known && ::fstat(fd.Get(), &st) != 0) return LastError();
  // A hard link planted at the name would carry the line into a file elsewhere.
  if (st.st_nlink > 1) return FsErrc::kLinked;
  // Appends to one file take turns, so that a writer cutting back a line the host took only
  // part of never cuts another's; closing the stream ends the turn. A writer that cannot have
  // its turn in time writes nothing rather than risk it.
  if (auto ec = WaitForLock(fd.Get(), kAppendWaitMilliseconds)) return ec;
  char last = '\n';
  if (readable && st.st_size > 0 && ::pread(fd.Get(), &last, 1, st.st_size - 1) != 1) last = '\n';
  lineBreakFirst_ = last != '\n' ? fd.Get() : -1;
  stream = StreamId{fd.Release()};
  return {};
}

std::error_code PosixFileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  memo_.Drop();
  const int fd = static_cast<int>(stream);
  // A file that ends in a fragment (a line cut short) gets a line end first.
  std::string line = lineBreakFirst_ == fd ? "\r\n" : "";
  line += Utf16ToWindows1252(text);
  line += "\r\n";
  ssize_t written;
  do {
    written = ::write(fd, line.data(), line.size());
  } while (written < 0 && errno == EINTR);
  if (written < 0) return LastError();
  if (static_cast<std::size_t>(written) == line.size()) {
    if (lineBreakFirst_ == fd) lineBreakFirst_ = -1;
    return {};
  }
  // Part of the line went in (disk full, a file-size limit): take it out again, so the file
  // ends where it ended before, but only while nothing follows it. The append put it at the
  // end, and the position is where it ends: when the file is longer now, another writer's line
  // follows, and cutting back would take that too.
  const off_t end = ::lseek(fd, 0, SEEK_CUR);
  struct stat now;
  if (end >= written && ::fstat(fd, &now) == 0 && now.st_size == end) {
    (void)::ftruncate(fd, end - written);
  }
  return FsErrc::kPartialWrite;
}

std::error_code PosixFileSystem::Close(StreamId stream) {
  if (lineBreakFirst_ == static_cast<int>(stream)) lineBreakFirst_ = -1;
  if (::close(static_cast<int>(stream)) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Lock(std::u16string_view path, LockId& lock) {
  Target target;
  if (auto ec = Locate(path, nullptr, target)) return ec;
  if (target.NotAFile()) return FsErrc::kNotAFile;
  // The lock is on a folder handle that outlives the call: a drive's top, or a cached folder,
  // which is pinned so that it stays open while locked.
  bool driveTop = false;
  for (const Fd& drive : drives_) driveTop = driveTop || (drive && drive.Get() == target.fd);
  if (target.owned || target.fd == AT_FDCWD) return FsErrc::kUnsupported;
  if (!driveTop && !folders_.Pin(target.fd)) return FsErrc::kUnsupported;
  if (auto ec = WaitForLock(target.fd, kLockWaitMilliseconds)) {
    if (!driveTop) folders_.Unpin(target.fd);
    return ec;
  }
  lock = LockId{target.fd};
  return {};
}

std::error_code PosixFileSystem::Unlock(LockId lock) {
  const int fd = static_cast<int>(lock);
  const int unlocked = ::flock(fd, LOCK_UN);
  const std::error_code ec = unlocked == 0 ? std::error_code() : LastError();
  folders_.Unpin(fd);
  return ec;
}

}  // namespace calendario
