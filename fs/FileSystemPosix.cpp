// POSIX only: everything here talks to the host through open/openat and friends.
#include "fs/FileSystemPosix.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "fs/Text.h"

namespace calendario {
namespace {

// O_NONBLOCK keeps a planted FIFO from hanging the run; it changes nothing for a file.
constexpr int kFileFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

// What a file being deleted is renamed to first, beside it: its name, this, and 32 random hex
// digits of the run's own.
constexpr const char* kAway = ".calendario-deleted-";

// An fstatat of a name in a folder, into `st`.
auto StatInto(struct stat& st) {
  return [&st](int folder, const std::string& name) {
    return ::fstatat(folder, name.c_str(), &st, 0);
  };
}

// What a name in a folder is, into `st`, from what the host has at hand: a network share is
// asked to find the name, as a path is always looked up, but not for attributes it has already
// given (the kind of a file never changes; its length, counts and times may be old).
auto KindInto(struct stat& st) {
  return [&st](int folder, const std::string& name) {
    struct statx found;
    const int result =
        ::statx(folder, name.c_str(), AT_STATX_DONT_SYNC,
                STATX_TYPE | STATX_MODE | STATX_INO | STATX_NLINK | STATX_SIZE, &found);
    if (result != 0) return result;
    st = {};
    st.st_dev = makedev(found.stx_dev_major, found.stx_dev_minor);
    st.st_ino = found.stx_ino;
    st.st_mode = found.stx_mode;
    st.st_nlink = found.stx_nlink;
    st.st_size = static_cast<off_t>(found.stx_size);
    return 0;
  };
}

FileKey KeyOf(const struct stat& st) {
  return KeyOfFile(st.st_dev, st.st_ino);
}

// The file's length and identity. An inode number can be used again at once, so the change
// time is part of the identity too.
FileMeasure Measure(const struct stat& st) {
  FileMeasure measured;
  measured.bytes = static_cast<std::uint64_t>(st.st_size);
  measured.identity = {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                       static_cast<std::uint64_t>(st.st_ctim.tv_sec),
                       static_cast<std::uint64_t>(st.st_ctim.tv_nsec)};
  return measured;
}

}  // namespace

// An instance can be had where drive C: can be: nearly every run needs it, so asking costs a
// run nothing, and a data folder that cannot hold it (a HOME that is no folder, or not there)
// holds no drive at all.
std::error_code PosixFileSystem::Obtain() {
  int top = -1;
  if (!drives_.Named() || drives_.Top(u'c', top)) return FsErrc::kUnavailable;
  return {};
}

std::error_code PosixFileSystem::Reach(std::u16string_view path, PosixPlace& place) {
  memo_.Drop();
  return paths_.Locate(path, place);
}

std::unique_ptr<FolderWalk> PosixFileSystem::Walk(std::u16string_view path) {
  memo_.Drop();
  return paths_.Walk(path);
}

std::error_code PosixFileSystem::StatFile(std::u16string_view path, struct stat& st, bool current) {
  if (const struct stat* known = memo_.Find(path, current)) {
    st = *known;
    return {};
  }
  PosixPlace place;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  const int found =
      current ? paths_.AtAnyCase(place, StatInto(st)) : paths_.AtAnyCase(place, KindInto(st));
  if (found != 0) return LastError();
  memo_.Keep(path, st, current);
  return {};
}

std::error_code PosixFileSystem::FileExists(std::u16string_view path, bool& exists) {
  struct stat st;
  exists = !StatFile(path, st, false) && S_ISREG(st.st_mode);
  return {};
}

std::error_code PosixFileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  if (unicode) return FsErrc::kUnsupported;
  PosixPlace place;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  // A file by the same name in another case is the same file to Windows.
  if (paths_.TakenByOtherSpelling(place) && !overwrite) {
    return std::make_error_code(std::errc::file_exists);
  }
  const int flags = kFileFlags | O_CREAT | (overwrite ? O_TRUNC : O_EXCL);
  Fd file(::openat(place.folder, place.name.c_str(), flags, 0666));
  if (!file) return LastError();
  paths_.Made(place, false);
  stream = streams_.Add(PosixStream{std::move(file), PosixTurn(), false});
  return {};
}

// A file object stands for a file that is there: what it is is enough, not its length.
std::error_code PosixFileSystem::GetFile(std::u16string_view path) {
  struct stat st;
  if (auto ec = StatFile(path, st, false)) return ec;
  return S_ISDIR(st.st_mode)   ? FsErrc::kNotAFile
         : S_ISREG(st.st_mode) ? std::error_code()
                               : FsErrc::kNoSuchPath;
}

std::error_code PosixFileSystem::Size(std::u16string_view path, FileMeasure& measured) {
  struct stat st;
  if (auto ec = StatFile(path, st, true)) return ec;
  if (S_ISDIR(st.st_mode)) return FsErrc::kNotAFile;
  if (!S_ISREG(st.st_mode)) return FsErrc::kNoSuchPath;
  measured = Measure(st);
  return {};
}

std::error_code PosixFileSystem::Delete(std::u16string_view path, bool /*force*/,
                                        const FileMeasure* measured) {
  // Unlinking never asks the file's own mode, so a read-only file goes like any other.
  PosixPlace place;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  if (measured == nullptr) {
    if (paths_.AtAnyCase(place, [](int folder, const std::string& name) {
          return ::unlinkat(folder, name.c_str(), 0);
        }) != 0) {
      return LastError();
    }
    paths_.Gone(place.folderKey, place.name);
    return {};
  }
  // Only the file measured goes, with a turn or without one: another run without turns (a share
  // that keeps no locks, a reader's lock in the way) may delete it and start a new report
  // between the measure and the delete. The name is moved to a name of this run's own first;
  // what moved is removed only when it is still the file measured, unchanged (its device, inode
  // and length, just looked at in full: a rename changes the change time), and anything else
  // goes back. The measure followed a link at the name, and so do these looks: the link is
  // what goes, never its target.
  struct stat now;
  if (paths_.AtAnyCase(place, StatInto(now)) != 0) return LastError();
  const FileMeasure found = Measure(now);
  if (found.bytes != measured->bytes || found.identity != measured->identity) {
    return FsErrc::kChanged;  // made anew since (its change time tells a reused inode), or grown
  }
  std::string away;
  if (auto ec = AwayName(place.name, away)) return ec;
  if (paths_.AtAnyCase(place, [&away](int folder, const std::string& name) {
        return ::renameat(folder, name.c_str(), folder, away.c_str());
      }) != 0) {
    return errno == ENOENT ? std::error_code(FsErrc::kChanged) : LastError();
  }
  struct stat moved;
  if (::fstatat(place.folder, away.c_str(), &moved, 0) != 0 ||
      static_cast<std::uint64_t>(moved.st_dev) != measured->identity[0] ||
      static_cast<std::uint64_t>(moved.st_ino) != measured->identity[1] ||
      static_cast<std::uint64_t>(moved.st_size) != measured->bytes) {
    PutBack(place, away);
    return FsErrc::kChanged;
  }
  if (::unlinkat(place.folder, away.c_str(), 0) != 0) {
    const std::error_code failed = LastError();
    PutBack(place, away);
    return failed;
  }
  paths_.Gone(place.folderKey, place.name);
  RemoveLeftovers(place);
  return {};
}

std::error_code PosixFileSystem::AwayName(const std::string& name, std::string& away) {
  unsigned char random[16];
  if (::getentropy(random, sizeof random) != 0) return LastError();
  away = name + kAway;
  for (unsigned char byte : random) {
    away += "0123456789abcdef"[byte >> 4];
    away += "0123456789abcdef"[byte & 0xF];
  }
  return {};
}

void PosixFileSystem::PutBack(PosixPlace& place, const std::string& away) {
  const int folder = place.folder;
  // Never over the name: a report made there meanwhile stays. A second name first, then the
  // run's own one goes; where the host has no second names, a rename that replaces nothing.
  if (::linkat(folder, away.c_str(), folder, place.name.c_str(), 0) == 0 ||
      (errno != EEXIST &&
       ::renameat2(folder, away.c_str(), folder, place.name.c_str(), RENAME_NOREPLACE) == 0)) {
    ::unlinkat(folder, away.c_str(), 0);  // gone already after the rename
    return;
  }
  if (errno == EINVAL || errno == ENOSYS) {
    // Neither second names nor a rename that refuses to replace (some network shares): a
    // rename once the name is seen free.
    struct stat there;
    if (::fstatat(folder, place.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0 &&
        errno == ENOENT && ::renameat(folder, away.c_str(), folder, place.name.c_str()) == 0) {
      return;
    }
  }
  if (errno != EEXIST) return;  // left under the run's own name, for a later deletion to sweep
  // The name was taken meanwhile: what moved is added to the file there, so none of its lines
  // is lost, and only then goes.
  Fd from(::openat(folder, away.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
  Fd to(::openat(folder, place.name.c_str(), kFileFlags | O_APPEND));
  std::string bytes(4096, '\0');
  bool whole = from && to;
  for (ssize_t n; whole && (n = ::read(from.Get(), bytes.data(), bytes.size())) != 0;) {
    whole = n > 0 && ::write(to.Get(), bytes.data(), static_cast<std::size_t>(n)) == n;
  }
  if (whole) ::unlinkat(folder, away.c_str(), 0);
}

void PosixFileSystem::RemoveLeftovers(const PosixPlace& place) {
  // What an earlier run left between moving a report aside and removing it (it ended there):
  // files of exactly such a name beside this one, never through a link. Read only when this run
  // itself deletes, so the cost of a folder full of other names is paid once a rotation.
  Fd listing(::openat(place.folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  DIR* folder = listing ? ::fdopendir(listing.Get()) : nullptr;
  if (folder == nullptr) return;
  (void)listing.Release();
  const std::string prefix = place.name + kAway;
  while (const dirent* entry = ::readdir(folder)) {
    const std::string_view name = entry->d_name;
    struct stat st;
    if (name.size() == prefix.size() + 32 && name.substr(0, prefix.size()) == prefix &&
        name.find_first_not_of("0123456789abcdef", prefix.size()) == std::string_view::npos &&
        ::fstatat(place.folder, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode)) {
      ::unlinkat(place.folder, entry->d_name, 0);
    }
  }
  ::closedir(folder);
}

bool PosixFileSystem::StillAtPlace(PosixPlace& place, const struct stat& st) {
  struct stat now;
  return paths_.AtAnyCase(place,
                          [&now](int folder, const std::string& name) {
                            return ::fstatat(folder, name.c_str(), &now, AT_SYMLINK_NOFOLLOW);
                          }) == 0 &&
         now.st_dev == st.st_dev && now.st_ino == st.st_ino;
}

bool PosixFileSystem::MayWriteThrough(const PosixPlace& place, const struct stat& st) {
  if (st.st_nlink <= 1) return true;
  const uid_t me = ::geteuid();
  if (me != 0) return st.st_uid == me;
  struct stat folder;
  return ::fstat(place.folder, &folder) == 0 && folder.st_uid == st.st_uid;
}

std::error_code PosixFileSystem::ReachHeld(std::u16string_view path, PosixPlace& place,
                                           KnownFile& known) {
  const struct stat* found = memo_.Find(path, false);
  known.current = found != nullptr && memo_.Find(path, true) != nullptr;
  if (found != nullptr) known.st = *found;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  if (found != nullptr && S_ISREG(known.st.st_mode)) {
    known.held = turns_.HeldAlready(KeyOf(known.st));
  }
  return {};
}

std::error_code PosixFileSystem::OpenForAppending(PosixPlace& place, int extraFlags, Fd& file,
                                                  bool& readable) {
  const auto open = [extraFlags](int flags) {
    return [flags, extraFlags](int folder, const std::string& name) {
      return ::openat(folder, name.c_str(), flags | extraFlags, 0666);
    };
  };
  // Read access as well, to see how the file ends; a file that may only be written is still
  // appended to, without that look.
  readable = true;
  file.Reset(paths_.AtAnyCase(place, open((kFileFlags & ~O_WRONLY) | O_RDWR | O_APPEND)));
  if (!file && errno == EACCES) {
    readable = false;
    file.Reset(paths_.AtAnyCase(place, open(kFileFlags | O_APPEND)));
  }
  if (!file) return LastError();
  return {};
}

std::error_code PosixFileSystem::Stream(PosixTurn turn, const struct stat& st, StreamId& stream) {
  char last = '\n';
  const PosixHold& hold = turn.Held();
  if (hold.readable && st.st_size > 0 && ::pread(hold.file.Get(), &last, 1, st.st_size - 1) != 1) {
    last = '\n';
  }
  stream = streams_.Add(PosixStream{Fd(), std::move(turn), last != '\n'});
  return {};
}

std::error_code PosixFileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  // When this process holds the file's turn, the stream appends through the turn's descriptor.
  PosixPlace place;
  KnownFile known;
  if (auto ec = ReachHeld(path, place, known)) return ec;
  struct stat& st = known.st;
  if (known.held && MayWriteThrough(place, st)) {
    if (!known.current && ::fstat(known.held.Held().file.Get(), &st) != 0) return LastError();
    return Stream(std::move(known.held), st, stream);
  }
  (void)known.held.Release();
  for (;;) {
    Fd file;
    bool readable = false;
    if (auto ec = OpenForAppending(place, 0, file, readable)) return ec;
    if (::fstat(file.Get(), &st) != 0) return LastError();
    if (!S_ISREG(st.st_mode)) return FsErrc::kNotAFile;
    if (!MayWriteThrough(place, st)) return FsErrc::kLinked;
    if (PosixTurn held = turns_.HeldAlready(KeyOf(st))) return Stream(std::move(held), st, stream);
    PosixTurn turn;
    bool waited = false;
    if (auto ec = turns_.TakeKnown(std::move(file), readable, st, waited, turn)) return ec;
    // How the file ends is looked at in the turn; and a file deleted or replaced while this run
    // waited for its turn is not the one to write to: the one at the path now is.
    if (waited && ::fstat(turn.Held().file.Get(), &st) != 0) return LastError();
    if (waited && !StillAtPlace(place, st)) continue;
    return Stream(std::move(turn), st, stream);
  }
}

std::error_code PosixFileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  memo_.Drop();
  PosixStream* open = streams_.Find(stream);
  if (open == nullptr) return FsErrc::kNotObtained;
  std::string line = Utf16ToWindows1252(text);
  line += "\r\n";
  return WriteWholeLine(*open, std::move(line));
}

std::error_code PosixFileSystem::Close(StreamId stream) {
  PosixStream closing;
  if (!streams_.Take(stream, closing)) return FsErrc::kNotObtained;
  return closing.Close();
}

std::error_code PosixFileSystem::Lock(std::u16string_view path, LockId& lock) {
  // A turn this process holds at the file is taken again without a look at the host.
  PosixPlace place;
  KnownFile known;
  if (auto ec = ReachHeld(path, place, known)) return ec;
  if (known.held) {
    memo_.Keep(path, known.st, known.current);
    lock = locks_.Add(std::move(known.held));
    return {};
  }
  struct stat& st = known.st;
  // The turn is the file's: it is made here when it is not there yet, as the writer would make
  // it a moment later.
  for (bool made = false;;) {
    Fd file;
    bool readable = false;
    std::error_code opened = OpenForAppending(place, made ? O_CREAT | O_EXCL : 0, file, readable);
    if (!made && opened == std::errc::no_such_file_or_directory) {
      made = true;
      continue;
    }
    if (made && opened == std::errc::file_exists) {
      made = false;  // made by another run meanwhile
      continue;
    }
    if (opened == std::errc::too_many_symbolic_link_levels ||
        opened == std::errc::permission_denied) {
      // A link at the name, which no stream writes through, or a file this user may not write,
      // whose turn no lock can keep (a write lock needs a descriptor that may write): a turn
      // with no file to it, for the report writer's look and its delete, which takes only what
      // it measured.
      lock = locks_.Add(PosixTurn());
      return {};
    }
    if (opened) return opened;
    if (made) paths_.Made(place, false);
    PosixTurn turn;
    bool waited = false;
    if (auto ec = turns_.TakeAndLook(std::move(file), readable, st, waited, turn)) return ec;
    // Looked at in the turn: a file deleted or replaced while the run waited for it (by the run
    // that held it) is not the one to write to, the one at the path now is.
    if (!S_ISREG(st.st_mode)) return FsErrc::kNotAFile;
    if (waited && !StillAtPlace(place, st)) {
      made = false;
      continue;
    }
    memo_.Keep(path, st);
    lock = locks_.Add(std::move(turn));
    return {};
  }
}

std::error_code PosixFileSystem::Unlock(LockId lock) {
  PosixTurn turn;
  if (!locks_.Take(lock, turn)) return FsErrc::kNotObtained;
  return turn.Release();
}

}  // namespace calendario
