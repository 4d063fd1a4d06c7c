// Windows only: everything here talks to the host through the wide Win32 API.
#include "fs/FileSystemWin32.h"

#include <windows.h>

#include <cwchar>
#include <new>
#include <string>

#include "fs/WindowsPath.h"

namespace calendario {
namespace {

std::error_code LastError() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A path that Windows would refuse, or that could reach a device through its name, never
// reaches the API; a path ending in a separator never names a file.
std::error_code Prepare(std::u16string_view path, bool asFile, std::wstring& native) {
  const WindowsPath parsed = ParseWindowsPath(path);
  if (!parsed.validNames) return FsErrc::kInvalidName;
  if (asFile && parsed.endsWithSeparator) return FsErrc::kNotAFile;
  return NativePath(path, native);
}

DWORD Attributes(std::u16string_view path, bool asFile) {
  std::wstring native;
  if (Prepare(path, asFile, native)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(native.c_str());
}

HANDLE ToHandle(LockId lock) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(lock));
}

// An open stream: its file, and for an appending stream the mutex its writes are made under.
struct Stream {
  HANDLE file = INVALID_HANDLE_VALUE;
  HANDLE appendMutex = nullptr;
};

Stream& ToStream(StreamId stream) {
  return *reinterpret_cast<Stream*>(static_cast<std::intptr_t>(stream));
}

// A named mutex for one file, whatever text reached it: `purpose` and the full path,
// upper-cased as the file system compares names, hashed (FNV-1a) to fit an object name.
HANDLE FileMutex(const std::wstring& native, const wchar_t* purpose) {
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
  wchar_t name[96];
  std::swprintf(name, 96, L"Local\\calendario-%ls-%016llx", purpose,
                static_cast<unsigned long long>(hash));
  return ::CreateMutexW(nullptr, FALSE, name);
}

// Waits for the mutex a short while; true when it is held now.
bool Acquire(HANDLE mutex) {
  // An abandoned mutex (its holder ended without letting go) is ours now, and good.
  const DWORD waited = ::WaitForSingleObject(mutex, kLockWaitMilliseconds);
  return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
}

// Opens the file at the last level itself, never what a reparse point there leads to.
std::error_code OpenFile(std::u16string_view path, DWORD access, DWORD disposition,
                         StreamId& stream, bool appending) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  const HANDLE h = ::CreateFileW(native.c_str(), access, kShareAll, nullptr, disposition,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (!::GetFileInformationByHandle(h, &info)) {
    const auto ec = LastError();
    ::CloseHandle(h);
    return ec;
  }
  if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
    ::CloseHandle(h);
    return FsErrc::kNotAFile;
  }
  auto* opened = new (std::nothrow) Stream{h, nullptr};
  if (opened == nullptr) {
    ::CloseHandle(h);
    return std::make_error_code(std::errc::not_enough_memory);
  }
  if (appending) opened->appendMutex = FileMutex(native, L"append");
  stream = static_cast<StreamId>(reinterpret_cast<std::intptr_t>(opened));
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

std::error_code Win32FileSystem::FolderExists(std::u16string_view path, bool& exists,
                                              FolderWalk* /*walk*/) {
  const DWORD attributes = Attributes(path, false);
  exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  return {};
}

std::error_code Win32FileSystem::CreateFolder(std::u16string_view path, FolderWalk* /*walk*/) {
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
  std::uint64_t ignored = 0;
  return Size(path, ignored);
}

std::error_code Win32FileSystem::Size(std::u16string_view path, std::uint64_t& bytes) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!::GetFileAttributesExW(native.c_str(), GetFileExInfoStandard, &data)) return LastError();
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  bytes = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  return {};
}

std::error_code Win32FileSystem::Delete(std::u16string_view path, bool force) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  const DWORD attributes = ::GetFileAttributesW(native.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return LastError();
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  if (force && (attributes & FILE_ATTRIBUTE_READONLY)) {
    if (!::SetFileAttributesW(native.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY)) {
      return LastError();
    }
  }
  if (!::DeleteFileW(native.c_str())) return LastError();
  return {};
}

std::error_code Win32FileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  // FILE_APPEND_DATA without FILE_WRITE_DATA: every write lands at the end of the file, also
  // when another process appends at the same time.
  return OpenFile(path, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE, OPEN_EXISTING,
                  stream, true);
}

std::error_code Win32FileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  const HANDLE h = ToStream(stream).file;
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
  // does (Wine finds the end and then writes): appends to one file take turns. A writer that
  // cannot get its turn in time writes all the same.
  const HANDLE turn = ToStream(stream).appendMutex;
  const bool holdsTurn = turn != nullptr && Acquire(turn);
  DWORD written = 0;
  const bool ok = ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  if (holdsTurn) ::ReleaseMutex(turn);
  if (ok && written == line.size()) return {};
  const auto ec = ok ? std::error_code(FsErrc::kPartialWrite) : LastError();
  LARGE_INTEGER after;
  if (written > 0 && ::GetFileSizeEx(h, &after) && after.QuadPart >= written) {
    // Part of the line went in: take it out again through a handle that may shorten the file.
    const HANDLE shorten = ::ReOpenFile(h, GENERIC_WRITE, kShareAll, 0);
    if (shorten != INVALID_HANDLE_VALUE) {
      FILE_END_OF_FILE_INFO end;
      end.EndOfFile.QuadPart = after.QuadPart - written;
      ::SetFileInformationByHandle(shorten, FileEndOfFileInfo, &end, sizeof end);
      ::CloseHandle(shorten);
    }
  }
  return ec;
}

std::error_code Win32FileSystem::Close(StreamId stream) {
  Stream* closing = &ToStream(stream);
  const bool closed = ::CloseHandle(closing->file);
  const auto ec = closed ? std::error_code() : LastError();
  if (closing->appendMutex != nullptr) ::CloseHandle(closing->appendMutex);
  delete closing;
  return ec;
}

std::error_code Win32FileSystem::Lock(std::u16string_view path, LockId& lock) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  const HANDLE mutex = FileMutex(native, L"report");
  if (mutex == nullptr) return LastError();
  if (!Acquire(mutex)) {
    ::CloseHandle(mutex);
    return std::make_error_code(std::errc::timed_out);
  }
  lock = static_cast<LockId>(reinterpret_cast<std::intptr_t>(mutex));
  return {};
}

std::error_code Win32FileSystem::Unlock(LockId lock) {
  const HANDLE mutex = ToHandle(lock);
  const bool released = ::ReleaseMutex(mutex);
  const auto ec = released ? std::error_code() : LastError();
  ::CloseHandle(mutex);
  return ec;
}

}  // namespace calendario
