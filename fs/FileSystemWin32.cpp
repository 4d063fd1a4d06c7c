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

// What a file deleted by renaming it away is renamed to, beside it: this, and a part of the
// run's own after it.
constexpr const wchar_t* kAway = L".calendario-deleted";

// Appending, and looking at the file's attributes; FILE_APPEND_DATA without FILE_WRITE_DATA,
// so every write lands at the end of the file, also when another process appends at once.
constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Where the file system offers it, a deleted file's name goes at once (POSIX semantics).
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

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
std::error_code FileOf(HANDLE file, FileKey& key) {
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

// One try at the turn on `file` (a handle that may read or write): an exclusive lock on one
// byte far past any end a file reaches, so that it keeps no reader or writer from the file's
// bytes. Closing the handle lets go of it. A file system that keeps no locks gives the turn
// without one.
std::error_code TryTurn(HANDLE file, LockTry& found) {
  OVERLAPPED at{};
  at.Offset = 0xFFFFFFFE;
  at.OffsetHigh = 0x7FFFFFFF;
  found = LockTry::kTaken;
  if (::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    return {};
  }
  switch (::GetLastError()) {
    case ERROR_LOCK_VIOLATION:
      found = LockTry::kBusy;
      return {};
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
      return {};
    default:
      return LastError();
  }
}

// A part of a name no one can have planted beforehand: this process's, and the moment's.
std::wstring RunsOwnPart(std::uint64_t serial) {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  std::uint64_t mixed = static_cast<std::uint64_t>(now.QuadPart) ^
                        (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 40) ^
                        (serial * 0x9E3779B97F4A7C15ull);
  std::wstring part(17, L'-');
  for (int i = 16; i > 0; --i, mixed >>= 4) part[i] = L"0123456789abcdef"[mixed & 0xF];
  return part;
}

// Removes what deletions by renaming left beside the file `native`: files only, whoever's.
void RemoveLeftovers(const std::wstring& native) {
  const std::wstring pattern = native + kAway + L"*";
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileW(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  const std::wstring folder = native.substr(0, native.rfind(L'\\') + 1);
  do {
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    const std::wstring left = folder + found.cFileName;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_READONLY) {
      ::SetFileAttributesW(left.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    ::DeleteFileW(left.c_str());
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}

// A folder's handle as the walk holds it: enough to open names in it and to read what it is.
constexpr DWORD kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Opens the folder at the full path, following what a reparse point there leads to, as the
// path-taking API does; nothing when it cannot be opened or is no folder.
UniqueHandle OpenFolderByPath(const std::wstring& native) {
  UniqueHandle folder(::CreateFileW(native.c_str(), kFolderAccess, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (folder && (!::GetFileInformationByHandle(folder.Get(), &info) ||
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
    folder.Reset();
  }
  return folder;
}

}  // namespace

Win32FileSystem::NativeApi::NativeApi() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  createFile = reinterpret_cast<CreateFileCall>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
  toError = reinterpret_cast<ErrorCall>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (toError == nullptr) createFile = nullptr;
}

namespace {

// A walk of the Win32 backend. It holds the folder that the prefix it has reached names, with
// that prefix resolved as the folder part of a longer path; the next prefix, that one and one
// more level's text, is resolved from there by that text alone, as on POSIX: one name more is
// opened or made in the held folder by the native API, relative to its handle (a call whose
// cost is that of the name alone), and the held folder itself needs nothing; anything else
// goes to the path-taking API in full. The native API takes a name as it stands (no trailing
// dot or space is dropped, no device is mapped), so it is handed only names the resolver has
// made final and RefusesName lets through. A level that is a reparse point is opened again by
// its full path, so that links are followed as the path-taking API follows them.
class Win32Walk final : public FolderWalk {
 public:
  Win32Walk(const Win32FileSystem::NativeApi& native, std::u16string_view path)
      : FolderWalk(path), native_(native) {}

  std::error_code FolderExists(std::u16string_view prefix, bool& exists) override {
    exists = false;
    Step step;
    if (!Extends(prefix, step)) {
      Leave();
      std::wstring path;
      if (Prepare(prefix, false, path)) return {};
      const DWORD attributes = ::GetFileAttributesW(path.c_str());
      exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
      // Only a folder on a drive is held, to find the next level from.
      if (exists && OnADrive(prefix)) {
        if (UniqueHandle folder = OpenFolderByPath(path)) HoldLocated(prefix, std::move(folder));
      }
      return {};
    }
    if (step.asLast.kind == LevelKind::kSelf) {
      exists = true;
      HoldNext(prefix, UniqueHandle(), step);
      return {};
    }
    if (RefusesName(step.asLast.name, /*lastText=*/true)) return {};
    UniqueHandle folder;
    if (Open(step.asLast.name, FILE_OPEN, folder) < 0) return {};
    if (!FollowLink(prefix, folder)) return {};
    exists = true;
    HoldNext(prefix, std::move(folder), step);
    return {};
  }

  std::error_code CreateFolder(std::u16string_view prefix) override {
    Step step;
    if (!Extends(prefix, step)) {
      Leave();
      std::wstring path;
      if (auto ec = Prepare(prefix, false, path)) return ec;
      if (!::CreateDirectoryW(path.c_str(), nullptr)) return LastError();
      if (OnADrive(prefix)) {
        if (UniqueHandle folder = OpenFolderByPath(path)) HoldLocated(prefix, std::move(folder));
      }
      return {};
    }
    if (step.asLast.kind == LevelKind::kSelf) return {ERROR_ALREADY_EXISTS, std::system_category()};
    if (RefusesName(step.asLast.name, /*lastText=*/true)) return FsErrc::kInvalidName;
    UniqueHandle folder;
    const NTSTATUS status = Open(step.asLast.name, FILE_CREATE, folder);
    if (status < 0) {
      Leave();
      return {static_cast<int>(native_.toError(status)), std::system_category()};
    }
    HoldNext(prefix, std::move(folder), step);
    return {};
  }

 private:
  struct Step {
    std::u16string_view levelText;  // the text after the held prefix's separator
    ResolvedLevel asLast{LevelKind::kSelf, {}};
  };

  // True when the prefix is the held one, a separator and one level's text that names a name
  // or nothing more.
  bool Extends(std::u16string_view prefix, Step& step) const {
    const std::u16string_view text = Text();
    if (!folder_ || !asFolderIsHeld_ || prefix.data() != text.data() || prefix.size() <= at_ ||
        !IsSeparator(text[at_])) {
      return false;
    }
    const CurrentFolder any;
    if (StartOf(prefix, any).root != StartOf(text.substr(0, at_), any).root) return false;
    const std::u16string_view added = prefix.substr(at_ + 1);
    bool one = true;
    ForEachLevelText(added, [&](std::u16string_view, bool last) { one = one && last; });
    step = Step{added, ResolveLevel(added, /*last=*/true)};
    // A "." ends a path whose level before it is then trimmed as the last one; a ".." climbs:
    // both go to the path-taking API.
    return one && step.asLast.kind != LevelKind::kParent && added != u".";
  }

  static bool OnADrive(std::u16string_view prefix) {
    return StartOf(prefix, CurrentFolder{}).root == PathRoot::kDrive;
  }

  NTSTATUS Open(std::u16string_view name, ULONG disposition, UniqueHandle& folder) const {
    UNICODE_STRING text;
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.Buffer = const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(name.data()));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder_.Get(), nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        native_.createFile(&opened, kFolderAccess, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                           kShareAll, disposition,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                               FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT,
                           nullptr, 0);
    folder.Reset(status >= 0 ? opened : nullptr);
    return status;
  }

  // A level opened as it stands that is a reparse point is opened again by its full path.
  bool FollowLink(std::u16string_view prefix, UniqueHandle& folder) const {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(folder.Get(), &info)) return false;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    std::wstring path;
    if (Prepare(prefix, false, path)) return false;
    folder = OpenFolderByPath(path);
    return static_cast<bool>(folder);
  }

  void HoldNext(std::u16string_view prefix, UniqueHandle folder, const Step& step) {
    const ResolvedLevel asFolder = ResolveNextLevel(asFolder_, step.levelText, false);
    if (step.asLast.kind == LevelKind::kName) {
      if (!folder) return Leave();
      folder_ = std::move(folder);
    }
    asFolderIsHeld_ = asFolder.kind == step.asLast.kind && asFolder.name == step.asLast.name &&
                      !asFolder_.refused;
    at_ = prefix.size();
  }

  void HoldLocated(std::u16string_view prefix, UniqueHandle folder) {
    const CurrentFolder none;
    ResolvedPath asFolder = ResolveWindowsPath(prefix, none, /*moreFollows=*/true);
    const ResolvedPath asItStands = ResolveWindowsPath(prefix, none);
    folder_ = std::move(folder);
    asFolderIsHeld_ = !asFolder.refused && asFolder.levels.Keys() == asItStands.levels.Keys();
    asFolder_ = std::move(asFolder);
    at_ = prefix.size();
  }

  void Leave() {
    folder_.Reset();
    asFolderIsHeld_ = false;
    at_ = 0;
  }

  const Win32FileSystem::NativeApi& native_;
  UniqueHandle folder_;  // the folder the prefix of length at_ names
  std::size_t at_ = 0;
  ResolvedPath asFolder_;  // that prefix, read as the folder part of a longer path
  bool asFolderIsHeld_ = false;
};

}  // namespace

std::error_code Win32Hold::Release() {
  lockOnly.Reset();
  if (!file.Close()) return LastError();
  return {};
}

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

std::error_code Win32FileSystem::Obtain() {
  return {};
}

std::unique_ptr<FolderWalk> Win32FileSystem::Walk(std::u16string_view path) {
  if (native_.createFile == nullptr) return FileSystemLayer::Walk(path);
  return std::make_unique<Win32Walk>(native_, path);
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
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  UniqueHandle file(::CreateFileW(native.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                  overwrite ? CREATE_ALWAYS : CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastError();
  stream = streams_.Add(Stream{std::move(file), Win32Turn()});
  return {};
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
  // elsewhere the file is renamed out of the way first, to a name of this run's own, which no
  // one can have planted or be holding, then deleted. A file that cannot be renamed stays: it
  // is never deleted in place.
  FILE_DISPOSITION_INFO_EX gone{FILE_DISPOSITION_FLAG_DELETE |
                                FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
  if (::SetFileInformationByHandle(file.Get(), kFileDispositionInfoEx, &gone, sizeof gone)) {
    return {};
  }
  const std::wstring away = native + kAway + RunsOwnPart(++renamed_);
  const std::size_t bytes = away.size() * sizeof(wchar_t);
  std::string buffer(sizeof(FILE_RENAME_INFO) + bytes, '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
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

std::error_code Win32FileSystem::OpenForAppending(const std::wstring& native, DWORD disposition,
                                                  Win32Hold& hold, FileKey& key,
                                                  BY_HANDLE_FILE_INFORMATION& info) {
  // FILE_READ_DATA to see how the file ends, and to hold the file's turn; a file that may only
  // be written is appended to without that look.
  const auto open = [&](DWORD access) {
    return UniqueHandle(::CreateFileW(native.c_str(), access, kShareAll, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  };
  hold.readable = true;
  hold.file = open(kAppend | FILE_READ_DATA);
  if (!hold.file && ::GetLastError() == ERROR_ACCESS_DENIED) {
    hold.readable = false;
    hold.file = open(kAppend);
  }
  if (!hold.file) return LastError();
  FileMeasure measured;
  if (auto ec = Describe(hold.file.Get(), info, measured)) return ec;
  key = {measured.identity[0], measured.identity[1], measured.identity[2]};
  return {};
}

std::error_code Win32FileSystem::TakeTurn(const std::wstring& native, Win32Hold hold,
                                          const FileKey& key, Win32Turn& turn) {
  HANDLE locking = hold.file.Get();
  if (!hold.readable) {
    // LockFileEx wants a handle that may read or write, which an append-only one may not be:
    // one that may write, opened for the lock alone, if there is such a right; else no turn.
    hold.lockOnly.Reset(::CreateFileW(native.c_str(), FILE_WRITE_DATA | SYNCHRONIZE, kShareAll,
                                      nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
    FileKey same{};
    if (hold.lockOnly && !FileOf(hold.lockOnly.Get(), same) && same == key) {
      locking = hold.lockOnly.Get();
    } else {
      locking = nullptr;
      hold.lockOnly.Reset();
    }
  }
  if (locking != nullptr) {
    bool waited = false;
    const auto attempt = [locking](LockTry& found) { return TryTurn(locking, found); };
    if (auto ec = WaitForTurn(until_, waited, attempt)) return ec;
  }
  turn = turns_.Keep(key, std::move(hold));
  return {};
}

std::error_code Win32FileSystem::TurnAt(const std::wstring& native, DWORD disposition,
                                        bool toAppend, Win32Turn& turn, bool& taken) {
  for (;;) {
    Win32Hold hold;
    FileKey key;
    BY_HANDLE_FILE_INFORMATION info;
    if (auto ec = OpenForAppending(native, disposition, hold, key, info)) return ec;
    if (toAppend) {
      if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        return FsErrc::kNotAFile;
      }
      // A hard link planted at the name would carry the line into a file elsewhere.
      if (info.nNumberOfLinks > 1) return FsErrc::kLinked;
    }
    taken = false;
    turn = turns_.Again(key);
    if (turn) return {};
    if (auto ec = TakeTurn(native, std::move(hold), key, turn)) return ec;
    // While this run waited, the turn's last holder may have deleted the file and made it
    // anew: the turn that counts is that of the file there now.
    FileKey there{};
    const UniqueHandle now = Look(native, FILE_FLAG_OPEN_REPARSE_POINT);
    if (!now || FileOf(now.Get(), there) || there != key) continue;
    taken = true;
    return {};
  }
}

std::error_code Win32FileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  Win32Turn turn;
  bool taken = false;
  if (auto ec = TurnAt(native, OPEN_EXISTING, true, turn, taken)) return ec;
  stream = streams_.Add(Stream{UniqueHandle(), std::move(turn)});
  return {};
}

std::error_code Win32FileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  const Stream* open = streams_.Find(stream);
  if (open == nullptr) return FsErrc::kNotObtained;
  const HANDLE h = open->File();
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
  if (before.QuadPart > 0 && open->turn && open->turn.Held().readable) {
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
  Stream closing;
  if (!streams_.Take(stream, closing)) return FsErrc::kNotObtained;
  if (closing.turn) return closing.turn.Release();
  if (!closing.made.Close()) return LastError();
  return {};
}

std::error_code Win32FileSystem::Lock(std::u16string_view path, LockId& lock) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  // The turn is the file's: made here when it is not there yet.
  Win32Turn turn;
  bool taken = false;
  if (auto ec = TurnAt(native, OPEN_ALWAYS, false, turn, taken)) return ec;
  // What a run ended halfway through a deletion left, its successor in the turn removes.
  if (taken) RemoveLeftovers(native);
  lock = locks_.Add(std::move(turn));
  return {};
}

std::error_code Win32FileSystem::Unlock(LockId lock) {
  Win32Turn turn;
  if (!locks_.Take(lock, turn)) return FsErrc::kNotObtained;
  return turn.Release();
}

}  // namespace calendario
