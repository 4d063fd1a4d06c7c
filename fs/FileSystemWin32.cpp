// Windows only: everything here talks to the host through the wide Win32 API.
#include "fs/FileSystemWin32.h"

#include <windows.h>

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <utility>

#include "fs/Win32Handle.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {

std::error_code LastError() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

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

// An open stream: its file, and for an appending stream the mutex its writes are made under.
struct Stream {
  UniqueHandle file;
  UniqueHandle appendMutex;
};

Stream& ToStream(StreamId stream) {
  return *reinterpret_cast<Stream*>(static_cast<std::intptr_t>(stream));
}

// A held lock: the file's mutex, and the holding of it.
struct Turn {
  UniqueHandle mutex;
  HeldMutex held;
};

// A security descriptor whose empty access list lets every account of the machine open the
// object: runs in other sessions, and in session 0 (a task run whether the user is logged on
// or not), must see and take the same turns.
SECURITY_DESCRIPTOR* OpenToEveryAccount(SECURITY_DESCRIPTOR& descriptor) {
  descriptor = SECURITY_DESCRIPTOR{};
  descriptor.Revision = SECURITY_DESCRIPTOR_REVISION;
  descriptor.Control = SE_DACL_PRESENT;  // present and null: no restriction
  return &descriptor;
}

// A named mutex for one file, whatever text reached it: `purpose` and the full path,
// upper-cased as the file system compares names, hashed (FNV-1a) to fit an object name.
UniqueHandle FileMutex(const std::wstring& native, const wchar_t* purpose) {
  std::wstring upper(native.size(), L'\0');
  if (::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, native.data(),
                      static_cast<int>(native.size()), upper.data(), static_cast<int>(upper.size()),
                      nullptr, nullptr, 0) == 0) {
    upper = native;
  }
  std::uint64_t hash = 14695981039346656037ull;
  for (wchar_t c : upper) {
    hash = (hash ^ static_cast<std::uint16_t>(c)) * 1099511628211ull;
  }
  // Global\\, so that every session of the machine shares it; Local\\ where the host will not
  // have it (a restricted token), which then holds off the runs of this session only.
  for (const wchar_t* scope : {L"Global", L"Local"}) {
    wchar_t name[104];
    std::swprintf(name, 104, L"%ls\\calendario-%ls-%016llx", scope, purpose,
                  static_cast<unsigned long long>(hash));
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, OpenToEveryAccount(descriptor), FALSE};
    UniqueHandle mutex(::CreateMutexW(&attributes, FALSE, name));
    if (mutex) return mutex;
  }
  return UniqueHandle();
}

// Opens the file at the last level itself, never what a reparse point there leads to.
std::error_code OpenFile(std::u16string_view path, DWORD access, DWORD disposition,
                         StreamId& stream, bool appending) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  UniqueHandle file(::CreateFileW(native.c_str(), access, kShareAll, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(file.Get(), &info)) return LastError();
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    return FsErrc::kNotAFile;
  }
  // A hard link planted at the name would carry the line into a file elsewhere.
  if (appending && info.nNumberOfLinks > 1) return FsErrc::kLinked;
  auto* opened = new (std::nothrow) Stream{std::move(file), UniqueHandle()};
  if (opened == nullptr) return std::make_error_code(std::errc::not_enough_memory);
  if (appending) opened->appendMutex = FileMutex(native, L"append");
  stream = static_cast<StreamId>(reinterpret_cast<std::intptr_t>(opened));
  return {};
}

// The file's length and identity, and its attributes, read through a handle that asks only
// for its attributes and shares every way, so it disturbs no other holder. The identity is
// the volume and the 128-bit file id (the 64-bit index is not unique on ReFS), or the index
// where the file system has no such id, and the time of the last write.
std::error_code Measure(const std::wstring& native, FileMeasure& measured, DWORD& attributes) {
  UniqueHandle h(::CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!h) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h.Get(), &info)) return LastError();
  attributes = info.dwFileAttributes;
  measured.bytes = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  const std::uint64_t written =
      (static_cast<std::uint64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) |
      info.ftLastWriteTime.dwLowDateTime;
  FILE_ID_INFO id;
  if (::GetFileInformationByHandleEx(h.Get(), FileIdInfo, &id, sizeof id)) {
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

}  // namespace

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

std::error_code Win32FileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  if (unicode) return FsErrc::kUnsupported;
  return OpenFile(path, GENERIC_WRITE, overwrite ? CREATE_ALWAYS : CREATE_NEW, stream, false);
}

std::error_code Win32FileSystem::GetFile(std::u16string_view path) {
  FileMeasure ignored;
  return Size(path, ignored);
}

std::error_code Win32FileSystem::Size(std::u16string_view path, FileMeasure& measured) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  DWORD attributes = 0;
  if (auto ec = Measure(native, measured, attributes)) return ec;
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  return {};
}

std::error_code Win32FileSystem::Delete(std::u16string_view path, bool force,
                                        const FileMeasure* measured) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  if (measured != nullptr) {
    // Only the file measured goes: not another one by now, nor the same one with another
    // run's line added.
    FileMeasure now;
    DWORD ignored = 0;
    if (auto ec = Measure(native, now, ignored)) return ec;
    if (now.bytes != measured->bytes || now.identity != measured->identity) {
      return FsErrc::kChanged;
    }
  }
  const bool readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  if (readOnly && !force) return std::error_code(ERROR_ACCESS_DENIED, std::system_category());
  if (readOnly && !::SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
    return LastError();
  }
  // Another program holding the file open (an indexer, a virus scanner, a backup) keeps a
  // deleted file's name alive until it lets go, and the next line would go into the doomed
  // file: the file is first renamed out of the way, to a name of its own in the same folder.
  wchar_t suffix[64];
  std::swprintf(suffix, 64, L".calendario-deleted-%lu-%llu", ::GetCurrentProcessId(),
                static_cast<unsigned long long>(::GetTickCount64()));
  const std::wstring away = native + suffix;
  std::error_code ec;
  if (!::MoveFileExW(native.c_str(), away.c_str(), 0)) {
    if (!::DeleteFileW(native.c_str())) ec = LastError();
  } else if (!::DeleteFileW(away.c_str())) {
    ec = LastError();
    ::MoveFileExW(away.c_str(), native.c_str(), 0);  // not deleted after all: back in its place
  }
  // A file that stays keeps the protection it had.
  if (ec && readOnly) ::SetFileAttributesW(native.c_str(), attributes);
  return ec;
}

std::error_code Win32FileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file, also
  // when another process appends at the same time. FILE_READ_DATA to see how the file ends; a
  // file that may only be written is appended to without that look.
  constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
  const std::error_code ec = OpenFile(path, kAppend | FILE_READ_DATA, OPEN_EXISTING, stream, true);
  if (ec != std::error_code(ERROR_ACCESS_DENIED, std::system_category())) return ec;
  return OpenFile(path, kAppend, OPEN_EXISTING, stream, true);
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
  // Windows appends atomically through an append-only handle, but not every host of the API
  // does (Wine finds the end and then writes), and a cut-back must never take another
  // writer's line: appends to one file take turns. A writer that cannot have its turn in time
  // writes nothing rather than risk it.
  const HeldMutex turn(ToStream(stream).appendMutex.Get(), kAppendWaitMilliseconds);
  if (!turn.Held()) return std::make_error_code(std::errc::timed_out);
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
    // Part of the line went in, and nothing after it: take it out again, still in our turn,
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
  delete closing;
  return ec;
}

std::error_code Win32FileSystem::Lock(std::u16string_view path, LockId& lock) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  auto* turn = new (std::nothrow) Turn{FileMutex(native, L"report"), HeldMutex()};
  if (turn == nullptr) return std::make_error_code(std::errc::not_enough_memory);
  if (!turn->mutex) {
    const auto ec = LastError();
    delete turn;
    return ec;
  }
  turn->held = HeldMutex(turn->mutex.Get(), kLockWaitMilliseconds);
  if (!turn->held.Held()) {
    delete turn;
    return std::make_error_code(std::errc::timed_out);
  }
  lock = static_cast<LockId>(reinterpret_cast<std::intptr_t>(turn));
  return {};
}

std::error_code Win32FileSystem::Unlock(LockId lock) {
  Turn* turn = reinterpret_cast<Turn*>(static_cast<std::intptr_t>(lock));
  const bool released = turn->held.Release();
  const auto ec = released ? std::error_code() : LastError();
  delete turn;
  return ec;
}

}  // namespace calendario
