// Windows only: everything here talks to the host through the wide Win32 API.
#include "fs/FileSystemWin32.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <utility>

#include "fs/WindowsPath.h"

namespace calendario {
namespace {

std::error_code LastError() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// What a file deleted by renaming it away is renamed to, beside it.
constexpr const wchar_t* kAway = L".calendario-deleted";

// A path with a name that Windows would refuse, or that Windows would map to a device, never
// reaches the API; a path ending in a separator never names a file.
std::error_code Prepare(std::u16string_view path, bool asFile, std::wstring& native) {
  const ResolvedPath resolved = ResolveWindowsPath(path, CurrentFolder{});
  if (resolved.refused) return FsErrc::kInvalidName;
  if (asFile && resolved.endsWithSeparator) return FsErrc::kNotAFile;
  return NativePath(path, native);
}

DWORD Attributes(std::u16string_view path, bool asFile) {
  std::wstring native;
  if (Prepare(path, asFile, native)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(native.c_str());
}

// What the file system says of an open file: its attributes, its links, its length and its
// identity. The identity is the volume and the 128-bit file id (the 64-bit index is not unique
// on ReFS), or the index where the file system has no such id, and the time of the last write.
std::error_code Describe(HANDLE file, BY_HANDLE_FILE_INFORMATION& info, FileMeasure& measured) {
  if (!::GetFileInformationByHandle(file, &info)) return LastError();
  measured.bytes = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const std::uint64_t written =
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime;
  FILE_ID_INFO id;
  if (::GetFileInformationByHandleEx(file, FileIdInfo, &id, sizeof id)) {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::memcpy(&low, id.FileId.Identifier, 8);
    std::memcpy(&high, id.FileId.Identifier + 8, 8);
    measured.identity = {id.VolumeSerialNumber, low, high, written};
  } else {
    measured.identity = {
        info.dwVolumeSerialNumber,
        (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow, 0, written};
  }
  return {};
}

// Which file is open: the identity without the time of the last write.
std::error_code FileOf(HANDLE file, Win32FileSystem::FileKey& key) {
  BY_HANDLE_FILE_INFORMATION info;
  FileMeasure measured;
  if (auto ec = Describe(file, info, measured)) return ec;
  key = {measured.identity[0], measured.identity[1], measured.identity[2]};
  return {};
}

// A handle that asks only for the file's attributes and shares every way, so it disturbs no
// other holder.
UniqueHandle Look(const std::wstring& native, DWORD flags) {
  return UniqueHandle(::CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, flags, nullptr));
}

// Takes the turn on `file` (a handle with read or write access): an exclusive lock on one byte
// far past any end a file reaches, so that it keeps no reader or writer from the file's bytes.
// Closing the handle lets go of it.
std::error_code LockTurn(HANDLE file, Win32FileSystem::Clock::time_point until) {
  for (;;) {
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFE;
    at.OffsetHigh = 0x7FFFFFFF;
    if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return {};
    }
    if (::GetLastError() != ERROR_LOCK_VIOLATION) return LastError();
    if (Win32FileSystem::Clock::now() >= until) return std::make_error_code(std::errc::timed_out);
    ::Sleep(1);
  }
}

}  // namespace

// An open stream: its file, and the turn it holds, when the turn is another's it shares (one
// this process took with Lock); otherwise the stream's own handle holds the turn.
struct Win32FileSystem::Stream {
  UniqueHandle file;
  Turn* shared = nullptr;
};

struct Win32FileSystem::Turn {
  UniqueHandle file;  // holds the lock
  FileKey key;
  int taken = 1;
};

std::error_code NativePath(std::u16string_view path, std::wstring& native) {
  const std::wstring given(path.begin(), path.end());
  if (given.empty()) return FsErrc::kNoSuchPath;
  // Already in the form the API takes verbatim.
  if (given.rfind(L"\\\\?\\", 0) == 0) {
    native = given;
    return {};
  }
  std::wstring full(given.size() + MAX_PATH, L'\0');
  for (;;) {
    const DWORD n =
        ::GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (n == 0) return LastError();
    if (n < full.size()) {
      full.resize(n);
      break;
    }
    full.resize(n);
  }
  if (full.size() >= 3 && full[1] == L':' && full[2] == L'\\') {
    native = L"\\\\?\\" + full;
  } else if (full.rfind(L"\\\\.\\", 0) == 0) {
    native = full;  // a device form stays what it is
  } else if (full.rfind(L"\\\\", 0) == 0) {
    native = L"\\\\?\\UNC\\" + full.substr(2);
  } else {
    native = full;
  }
  return {};
}

Win32FileSystem::Win32FileSystem(Clock::time_point turnsUntil) : until_(turnsUntil) {}
Win32FileSystem::~Win32FileSystem() = default;

Win32FileSystem::Turn* Win32FileSystem::HeldTurn(const FileKey& key) {
  for (const auto& turn : turns_) {
    if (turn->key == key) return turn.get();
  }
  return nullptr;
}

std::error_code Win32FileSystem::Obtain() {
  return {};
}

std::error_code Win32FileSystem::FolderExists(std::u16string_view path, bool& exists) {
  const DWORD attributes = Attributes(path, false);
  exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  return {};
}

std::error_code Win32FileSystem::CreateFolder(std::u16string_view path) {
  std::wstring native;
  if (auto ec = Prepare(path, false, native)) return ec;
  if (!::CreateDirectoryW(native.c_str(), nullptr)) return LastError();
  return {};
}

std::error_code Win32FileSystem::FileExists(std::u16string_view path, bool& exists) {
  const DWORD attributes = Attributes(path, true);
  exists = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  return {};
}

// Opens the file at the last level itself, never what a reparse point there leads to.
std::error_code Win32FileSystem::OpenFile(std::u16string_view path, DWORD access, DWORD disposition,
                                          bool appending, StreamId& stream) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  UniqueHandle file(::CreateFileW(native.c_str(), access, kShareAll, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  FileMeasure measured;
  if (auto ec = Describe(file.Get(), info, measured)) return ec;
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    return FsErrc::kNotAFile;
  }
  Turn* shared = nullptr;
  if (appending) {
    // A hard link planted at the name would carry the line into a file elsewhere.
    if (info.nNumberOfLinks > 1) return FsErrc::kLinked;
    shared = HeldTurn({measured.identity[0], measured.identity[1], measured.identity[2]});
    if (shared == nullptr) {
      if (auto ec = LockTurn(file.Get(), until_)) return ec;
    }
  }
  auto* opened = new (std::nothrow) Stream{std::move(file), shared};
  if (opened == nullptr) return std::make_error_code(std::errc::not_enough_memory);
  if (shared != nullptr) ++shared->taken;
  stream = static_cast<StreamId>(reinterpret_cast<std::intptr_t>(opened));
  return {};
}

std::error_code Win32FileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  if (unicode) return FsErrc::kUnsupported;
  return OpenFile(path, GENERIC_WRITE, overwrite ? CREATE_ALWAYS : CREATE_NEW, false, stream);
}

std::error_code Win32FileSystem::GetFile(std::u16string_view path) {
  FileMeasure ignored;
  return Size(path, ignored);
}

std::error_code Win32FileSystem::Size(std::u16string_view path, FileMeasure& measured) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  const UniqueHandle file = Look(native, FILE_FLAG_BACKUP_SEMANTICS);
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (auto ec = Describe(file.Get(), info, measured)) return ec;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  return {};
}

std::error_code Win32FileSystem::Delete(std::u16string_view path, bool force,
                                        const FileMeasure* measured) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  // Everything is done through one handle on the file, so that what is measured, renamed and
  // deleted is one file.
  const UniqueHandle file(::CreateFileW(
      native.c_str(), DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE,
      kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS,
      nullptr));
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  FileMeasure now;
  if (auto ec = Describe(file.Get(), info, now)) return ec;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  // Only the file measured goes: not another one by now, nor the same one with another
  // writer's line added.
  if (measured != nullptr && (now.bytes != measured->bytes || now.identity != measured->identity)) {
    return FsErrc::kChanged;
  }
  const bool readOnly = (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !force) return std::error_code(ERROR_ACCESS_DENIED, std::system_category());
  FILE_BASIC_INFO basic{};
  if (readOnly) {
    basic.FileAttributes = info.dwFileAttributes & ~FILE_ATTRIBUTE_READONLY;
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!::SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof basic)) {
      return LastError();
    }
  }
  const auto keep = [&](std::error_code ec) {
    // A file that stays keeps the protection it had.
    if (readOnly) {
      basic.FileAttributes = info.dwFileAttributes;
      ::SetFileInformationByHandle(file.Get(), FileBasicInfo, &basic, sizeof basic);
    }
    return ec;
  };
  // Another program holding the file open (an indexer, a virus scanner, a backup) keeps the
  // name of a file deleted the old way until it lets go, and the next line would go into the
  // doomed file. Where the file system offers it, the name goes at once (POSIX semantics);
  // elsewhere the file is renamed out of the way first, then deleted. A file that cannot be
  // renamed stays: it is never deleted in place.
  FILE_DISPOSITION_INFO_EX gone{FILE_DISPOSITION_FLAG_DELETE |
                                FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (::SetFileInformationByHandle(file.Get(), static_cast<FILE_INFO_BY_HANDLE_CLASS>(21), &gone,
                                   sizeof gone)) {
    return {};
  }
  const std::wstring away = native + kAway;
  const std::size_t bytes = away.size() * sizeof(wchar_t);
  std::string buffer(sizeof(FILE_RENAME_INFO) + bytes, '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = TRUE;  // what a run ended at the wrong moment left
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(rename->FileName, away.data(), bytes);
  if (!::SetFileInformationByHandle(file.Get(), FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
    return keep(LastError());
  }
  FILE_DISPOSITION_INFO doomed{TRUE};
  if (!::SetFileInformationByHandle(file.Get(), FileDispositionInfo, &doomed, sizeof doomed)) {
    const auto ec = LastError();
    ::MoveFileExW(away.c_str(), native.c_str(), 0);  // not deleted after all: back in its place
    return keep(ec);
  }
  return {};
}

std::error_code Win32FileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file, also
  // when another process appends at the same time. FILE_READ_DATA to see how the file ends,
  // and to hold the file's turn; a file that may only be written is appended to without that
  // look, in a turn held only where Windows lets such a handle lock.
  constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const std::error_code ec = OpenFile(path, kAppend | FILE_READ_DATA, OPEN_EXISTING, true, stream);
  if (ec != std::error_code(ERROR_ACCESS_DENIED, std::system_category())) return ec;
  return OpenFile(path, kAppend, OPEN_EXISTING, true, stream);
}

std::error_code Win32FileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  const HANDLE h = ToStream(stream).file.Get();
  std::string line;
  if (!text.empty()) {
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    // Characters outside the ANSI code page become its default character.
    const int n = ::WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return LastError();
    line.resize(static_cast<std::size_t>(n));
    if (::WideCharToMultiByte(CP_ACP, 0, wide, length, line.data(), n, nullptr, nullptr) != n) {
      return LastError();
    }
  }
  line += "\r\n";
  // The stream holds the file's turn: how the file ends now is how it ends when the line goes
  // in, and a cut-back takes no other writer's line.
  LARGE_INTEGER before;
  if (!::GetFileSizeEx(h, &before)) return LastError();
  // A file that ends in a fragment (a line cut short) gets a line end first.
  char last = '\n';
  if (before.QuadPart > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(before.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((before.QuadPart - 1) >> 32);
    DWORD read = 0;
    if (!::ReadFile(h, &last, 1, &read, &at) || read != 1) last = '\n';
  }
  if (last != '\n') line.insert(0, "\r\n");
  DWORD written = 0;
  const bool ok = ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  if (ok && written == line.size()) return {};
  const auto ec = ok ? std::error_code(FsErrc::kPartialWrite) : LastError();
  LARGE_INTEGER after;
  if (written > 0 && ::GetFileSizeEx(h, &after) && after.QuadPart == before.QuadPart + written) {
    // Part of the line went in, and nothing after it: take it out again, still in the turn,
    // through a handle that may shorten the file.
    const UniqueHandle shorten(::ReOpenFile(h, GENERIC_WRITE, kShareAll, 0));
    if (shorten) {
      FILE_END_OF_FILE_INFO end;
      end.EndOfFile = before;
      ::SetFileInformationByHandle(shorten.Get(), FileEndOfFileInfo, &end, sizeof end);
    }
  }
  return ec;
}

std::error_code Win32FileSystem::Close(StreamId stream) {
  Stream* closing = &ToStream(stream);
  const bool closed = closing->file.Close();
  const auto ec = closed ? std::error_code() : LastError();
  if (closing->shared != nullptr) GiveTurn(closing->shared);
  delete closing;
  return ec;
}

std::error_code Win32FileSystem::Lock(std::u16string_view path, LockId& lock) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  for (;;) {
    // The turn is the file's: made here when it is not there yet.
    UniqueHandle file(::CreateFileW(native.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return LastError();
    FileKey key;
    if (auto ec = FileOf(file.Get(), key)) return ec;
    if (Turn* held = HeldTurn(key)) {
      ++held->taken;
      lock = static_cast<LockId>(reinterpret_cast<std::intptr_t>(held));
      return {};
    }
    if (auto ec = LockTurn(file.Get(), until_)) return ec;
    // While this run waited, the turn's last holder may have deleted the file and made it
    // anew: the turn that counts is that of the file there now.
    FileKey there{};
    const UniqueHandle now = Look(native, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!now || FileOf(now.Get(), there) || there != key) continue;
    auto turn = std::make_unique<Turn>(Turn{std::move(file), key, 1});
    lock = static_cast<LockId>(reinterpret_cast<std::intptr_t>(turn.get()));
    turns_.push_back(std::move(turn));
    // What a run ended halfway through a deletion left, its successor in the turn removes.
    ::DeleteFileW((native + kAway).c_str());
    return {};
  }
}

std::error_code Win32FileSystem::Unlock(LockId lock) {
  GiveTurn(reinterpret_cast<Turn*>(static_cast<std::intptr_t>(lock)));
  return {};
}

void Win32FileSystem::GiveTurn(Turn* turn) {
  if (--turn->taken > 0) return;
  // Closing the handle lets go of the lock.
  std::erase_if(turns_, [turn](const auto& held) { return held.get() == turn; });
}

Win32FileSystem::Stream& Win32FileSystem::ToStream(StreamId stream) {
  return *reinterpret_cast<Stream*>(static_cast<std::intptr_t>(stream));
}

}  // namespace calendario
