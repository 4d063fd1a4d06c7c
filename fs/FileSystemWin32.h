// The Win32 backend of the file-system layer: the wide (W) API only. Paths are made absolute
// by GetFullPathNameW and given the \\?\ prefix, so that they may run to 32767 characters; a
// name Windows refuses (fs/WindowsPath says which) never reaches the API, since the \\?\ form
// skips Windows' own device mapping (fs/Win32Files). Files are opened without following a
// reparse point at the last level, and appended to through FILE_APPEND_DATA handles, one
// WriteFile a line, in the file's turn. Every handle has an owner (fs/Win32Handle.h).
//
// In parts: the operations on files and streams (FileSystemWin32.cpp), turns (Win32Turns.cpp),
// deletion (Win32Delete.cpp), the walk's host calls (Win32Walk.cpp), and what they share
// (Win32Files).
//
// The turn at a file is a lock on one byte of the file itself, far past any end it reaches:
// every spelling of the file takes the same turn. The lock is taken through the append handle
// when it may read the file, and else through a handle opened only to hold it, which may
// write. Windows lets any handle that may read or write a file lock it, so a reader can hold a
// run back, within the run's bound, as a reader opening the file without sharing writes
// already could. A file with no handle that can lock it is appended to without a turn.
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "fs/FileSystem.h"
#include "fs/IdTable.h"
#include "fs/Turns.h"
#include "fs/Win32Handle.h"

namespace calendario {

// What holds one turn: the file, open for appending, and the handle the lock is held through
// when it is not that one.
struct Win32Hold {
  UniqueHandle file;
  bool readable = false;  // `file` may read the file too
  UniqueHandle lockOnly;
  // Closes both; fails when closing the file did.
  std::error_code Release();
};

using Win32TurnTable = TurnTable<Win32Hold>;
using Win32Turn = Win32TurnTable::Turn;

class Win32FileSystem final : public FileSystemLayer {
 public:
  using Clock = std::chrono::steady_clock;

  // Turns at files are waited for until `turnsUntil` at most.
  explicit Win32FileSystem(Clock::time_point turnsUntil = Clock::now() + std::chrono::seconds(10));

  std::error_code Obtain() override;
  std::error_code FileExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                 StreamId& stream) override;
  std::error_code GetFile(std::u16string_view path) override;
  std::error_code Size(std::u16string_view path, FileMeasure& measured) override;
  // Deletes through one handle on the file: by POSIX semantics where the file system offers
  // them, else renamed to a name of this run's own beside it and marked for deletion at once;
  // then removes what such a rename left beside it when a run ended before its mark.
  std::error_code Delete(std::u16string_view path, bool force,
                         const FileMeasure* measured) override;
  std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                   StreamId& stream) override;
  std::error_code WriteLine(StreamId stream, std::u16string_view text) override;
  std::error_code Close(StreamId stream) override;
  // The turn at the file, which is made when missing, also when it may only be read. A run that
  // waited for it while its last holder deleted the file and made it anew takes the new file's
  // turn.
  std::error_code Lock(std::u16string_view path, LockId& lock) override;
  std::error_code Unlock(LockId lock) override;
  // The walk's host calls: one name more opened or made relative to the held folder's handle,
  // so that a deep root costs each level its own name only; every level located by its path
  // where the native API cannot be had.
  std::unique_ptr<FolderWalk> Walk(std::u16string_view path) override;

  // The native API's open of one name relative to a folder handle, from ntdll, which every
  // process has loaded, so that the program imports nothing more.
  struct NativeApi {
    using CreateFileCall = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                            PIO_STATUS_BLOCK, PLARGE_INTEGER, ULONG, ULONG, ULONG,
                                            ULONG, PVOID, ULONG);
    using ErrorCall = ULONG(NTAPI*)(NTSTATUS);
    CreateFileCall createFile = nullptr;
    ErrorCall toError = nullptr;
    NativeApi();
  };

 private:
  // An open text stream: a file it made and holds itself (CreateTextFile), or the turn at a
  // file, through whose handle it appends.
  struct Stream {
    UniqueHandle made;
    Win32Turn turn;
    HANDLE File() const { return turn ? turn.Held().file.Get() : made.Get(); }
  };

  // Opens the file for appending (made when missing, with `disposition` OPEN_ALWAYS), reading
  // too where Windows lets it, never through a reparse point; for a turn alone (`toAppend`
  // false), for reading only where it may not be written. Describes what was opened.
  std::error_code OpenForAppending(const std::wstring& native, DWORD disposition, bool toAppend,
                                   Win32Hold& hold, FileKey& key, BY_HANDLE_FILE_INFORMATION& info);
  // Opens the file for appending and has its turn: the one this process holds, or one taken now,
  // within the bound, at the file that is at the path once it was had. `toAppend`
  // refuses first what no line may be written to (a folder, a reparse point, a hard link to a
  // file of another user's).
  std::error_code TurnAt(const std::wstring& native, DWORD disposition, bool toAppend,
                         Win32Turn& turn);
  // Takes the turn at the file held open in `hold`, waiting for it within the bound.
  std::error_code TakeTurn(const std::wstring& native, Win32Hold hold, const FileKey& key,
                           Win32Turn& turn);

  NativeApi native_;
  Clock::time_point until_;
  Win32TurnTable turns_;
  IdTable<StreamId, Stream> streams_;
  IdTable<LockId, Win32Turn> locks_;
};

}  // namespace calendario
