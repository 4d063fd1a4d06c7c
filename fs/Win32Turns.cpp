// Windows only: turns at files. The turn at a file is a lock on one byte of the file itself,
// far past any end it reaches, so every spelling of the file takes the same turn; it is taken
// through the append handle when that may read the file, else through a handle opened only to
// hold it, which may write.
#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Files.h"

namespace calendario {
namespace {

// Appending, and looking at the file's attributes; FILE_APPEND_DATA without FILE_WRITE_DATA,
// so every write lands at the end of the file, also when another process appends at once.
constexpr DWORD kAppend = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
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

// Whether the file open in `file` is owned by the user this process runs as: asked through a
// handle that reopens that very file, so no other file can answer.
bool OwnedByThisUser(HANDLE file) {
  const UniqueHandle control(::ReOpenFile(file, READ_CONTROL, kShareAll, 0));
  HANDLE token = nullptr;
  if (!control || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  const UniqueHandle process(token);
  alignas(TOKEN_USER) char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
  DWORD size = 0;
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR described = nullptr;
  if (!::GetTokenInformation(token, TokenUser, user, sizeof user, &size) ||
      ::GetSecurityInfo(control.Get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr,
                        nullptr, nullptr, &described) != ERROR_SUCCESS) {
    return false;
  }
  const std::unique_ptr<void, decltype(&::LocalFree)> release(described, &::LocalFree);
  return ::EqualSid(owner, reinterpret_cast<TOKEN_USER*>(user)->User.Sid);
}
}  // namespace

std::error_code Win32Hold::Release() {
  lockOnly.Reset();
  if (!file.Close()) return LastError();
  return {};
}

std::error_code Win32FileSystem::OpenForAppending(const std::wstring& native, DWORD disposition,
                                                  bool toAppend, Win32Hold& hold, FileKey& key,
                                                  BY_HANDLE_FILE_INFORMATION& info) {
  // FILE_READ_DATA to see how the file ends, and to hold the file's turn; a file that may only
  // be written is appended to without that look. A file that may only be read (a report marked
  // read-only, or held by a reader who shares no writes) still has its turn, held through a
  // handle that reads it, so that it can be checked and deleted past its bound.
  const auto open = [&](DWORD access) {
    return UniqueHandle(::CreateFileW(native.c_str(), access, kShareAll, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT,
                                      nullptr));
  };
  const DWORD tries[] = {kAppend | FILE_READ_DATA, kAppend,
                         FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE};
  for (DWORD access : tries) {
    hold.readable = (access & FILE_READ_DATA) != 0;
    hold.file = open(access);
    const DWORD error = hold.file ? 0 : ::GetLastError();
    if (hold.file || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
        (toAppend && access == kAppend)) {
      break;
    }
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
                                        bool toAppend, Win32Turn& turn) {
  for (;;) {
    Win32Hold hold;
    FileKey key;
    BY_HANDLE_FILE_INFORMATION info;
    if (auto ec = OpenForAppending(native, disposition, toAppend, hold, key, info)) return ec;
    if (toAppend) {
      if (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) {
        return FsErrc::kNotAFile;
      }
      // A hard link planted at the name would carry the line into someone else's file; one to
      // this user's own file (a snapshot's, a deduplicator's) is written through.
      if (info.nNumberOfLinks > 1 && !OwnedByThisUser(hold.file.Get())) return FsErrc::kLinked;
    }
    turn = turns_.HeldAlready(key);
    if (turn) return {};
    if (auto ec = TakeTurn(native, std::move(hold), key, turn)) return ec;
    // The turn's last holder may have deleted the file meanwhile (and made it anew): the turn
    // that counts is that of the file there now. The held handle says so; where it does not
    // (Wine keeps no delete-pending state, and a holder that ended between its rename and its
    // mark left none), the file at the path must still be the held one.
    FILE_STANDARD_INFO standard;
    if (::GetFileInformationByHandleEx(turn.Held().file.Get(), FileStandardInfo, &standard,
                                       sizeof standard) &&
        standard.DeletePending) {
      continue;
    }
    FileKey there{};
    const UniqueHandle now = Look(native, FILE_FLAG_OPEN_REPARSE_POINT);
    if (now && !FileOf(now.Get(), there) && there == key) return {};
  }
}

std::error_code Win32FileSystem::Lock(std::u16string_view path, LockId& lock) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  // The turn is the file's: made here when it is not there yet.
  Win32Turn turn;
  if (auto ec = TurnAt(native, OPEN_ALWAYS, false, turn)) return ec;
  lock = locks_.Add(std::move(turn));
  return {};
}

std::error_code Win32FileSystem::Unlock(LockId lock) {
  Win32Turn turn;
  if (!locks_.Take(lock, turn)) return FsErrc::kNotObtained;
  return turn.Release();
}
}  // namespace calendario
