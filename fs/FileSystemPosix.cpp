// POSIX only: everything here talks to the host through open/openat and friends.
#include "fs/FileSystemPosix.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <new>

#include "fs/PosixAppend.h"
#include "fs/Text.h"

namespace calendario {
namespace {

// O_NONBLOCK keeps a planted FIFO from hanging the run; it changes nothing for a file.
constexpr int kFileFlags = O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;

std::error_code LastError() {
  return {errno, std::generic_category()};
}

// An fstatat of a name in a folder, into `st`.
auto StatInto(struct stat& st) {
  return [&st](int folder, const std::string& name) {
    return ::fstatat(folder, name.c_str(), &st, 0);
  };
}

PosixStream& ToStream(StreamId stream) {
  return *reinterpret_cast<PosixStream*>(static_cast<std::intptr_t>(stream));
}

// Hands the open file to a new stream; fails only when memory runs out (the file closes).
std::error_code NewStream(PosixStream opening, StreamId& stream) {
  auto* opened = new (std::nothrow) PosixStream(std::move(opening));
  if (opened == nullptr) return std::make_error_code(std::errc::not_enough_memory);
  stream = static_cast<StreamId>(reinterpret_cast<std::intptr_t>(opened));
  return {};
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

std::error_code PosixFileSystem::Obtain() {
  if (!drives_.Named()) return FsErrc::kUnavailable;
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

// A folder operation outside CreateFolderPath is a walk of one prefix: the whole path.
std::error_code PosixFileSystem::FolderExists(std::u16string_view path, bool& exists) {
  const std::unique_ptr<FolderWalk> walk = Walk(path);
  return walk->FolderExists(walk->Text(), exists);
}

std::error_code PosixFileSystem::CreateFolder(std::u16string_view path) {
  const std::unique_ptr<FolderWalk> walk = Walk(path);
  return walk->CreateFolder(walk->Text());
}

std::error_code PosixFileSystem::StatFile(std::u16string_view path, struct stat& st) {
  if (const struct stat* known = memo_.Find(path)) {
    st = *known;
    return {};
  }
  PosixPlace place;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  if (paths_.AtAnyCase(place, StatInto(st)) != 0) return LastError();
  memo_.Keep(path, st);
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
  return NewStream(PosixStream{std::move(file), false, nullptr}, stream);
}

std::error_code PosixFileSystem::GetFile(std::u16string_view path) {
  FileMeasure ignored;
  return Size(path, ignored);
}

std::error_code PosixFileSystem::Size(std::u16string_view path, FileMeasure& measured) {
  struct stat st;
  if (auto ec = StatFile(path, st)) return ec;
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
  if (measured != nullptr) {
    // Only the file measured goes: not one made since under its name, nor the same one with
    // another run's line added meanwhile.
    struct stat now;
    if (paths_.AtAnyCase(place, StatInto(now)) != 0) return LastError();
    const FileMeasure found = Measure(now);
    if (found.bytes != measured->bytes || found.identity != measured->identity) {
      return FsErrc::kChanged;
    }
  }
  const auto unlink = [](int folder, const std::string& name) {
    return ::unlinkat(folder, name.c_str(), 0);
  };
  if (paths_.AtAnyCase(place, unlink) != 0) return LastError();
  paths_.Deleted(place);
  return {};
}

std::error_code PosixFileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  // What the call before this one found of the file, if it asked.
  struct stat st {};
  const struct stat* known = memo_.Find(path);
  if (known != nullptr) st = *known;
  PosixPlace place;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  // Read access as well, to see how the file ends; a file that may only be written is still
  // appended to, without that look.
  bool readable = true;
  const auto open = [](int flags) {
    return [flags](int folder, const std::string& name) {
      return ::openat(folder, name.c_str(), flags);
    };
  };
  Fd file(paths_.AtAnyCase(place, open((kFileFlags & ~O_WRONLY) | O_RDWR | O_APPEND)));
  if (!file && errno == EACCES) {
    readable = false;
    file.Reset(paths_.AtAnyCase(place, open(kFileFlags | O_APPEND)));
  }
  if (!file) return LastError();
  PosixTurns::Held* turn = nullptr;
  if (auto ec = turns_.Take(place.folder, place.folderKey, place.key, turn)) return ec;
  const auto giveBack = [&](std::error_code ec) {
    turns_.Give(turn);
    return ec;
  };
  // How the file ends is looked at in the turn: what was found before it was taken (another
  // run may have left a fragment meanwhile) holds only when the turn was held all along.
  const bool heldBefore = turn->taken > 1;
  if ((known == nullptr || !heldBefore) && ::fstat(file.Get(), &st) != 0) {
    return giveBack(LastError());
  }
  // A hard link planted at the name would carry the line into a file elsewhere.
  if (st.st_nlink > 1) return giveBack(FsErrc::kLinked);
  char last = '\n';
  if (readable && st.st_size > 0 && ::pread(file.Get(), &last, 1, st.st_size - 1) != 1) {
    last = '\n';
  }
  if (auto ec = NewStream(PosixStream{std::move(file), last != '\n', turn}, stream)) {
    return giveBack(ec);
  }
  return {};
}

std::error_code PosixFileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  memo_.Drop();
  std::string line = Utf16ToWindows1252(text);
  line += "\r\n";
  return WriteWholeLine(ToStream(stream), std::move(line));
}

std::error_code PosixFileSystem::Close(StreamId stream) {
  PosixStream* closing = &ToStream(stream);
  const int fd = closing->file.Release();
  if (closing->turn != nullptr) turns_.Give(closing->turn);
  delete closing;
  if (::close(fd) != 0) return LastError();
  return {};
}

std::error_code PosixFileSystem::Lock(std::u16string_view path, LockId& lock) {
  PosixPlace place;
  if (auto ec = Reach(path, place)) return ec;
  if (place.NotAFile()) return FsErrc::kNotAFile;
  PosixTurns::Held* turn = nullptr;
  if (auto ec = turns_.Take(place.folder, place.folderKey, place.key, turn)) return ec;
  lock = static_cast<LockId>(reinterpret_cast<std::intptr_t>(turn));
  return {};
}

std::error_code PosixFileSystem::Unlock(LockId lock) {
  turns_.Give(reinterpret_cast<PosixTurns::Held*>(static_cast<std::intptr_t>(lock)));
  return {};
}

}  // namespace calendario
