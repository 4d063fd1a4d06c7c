// The Win32 backend of the file-system layer: the wide (W) API only. Paths are made absolute
// by GetFullPathNameW and given the \\?\ prefix, so that they may run to 32767 characters; a
// name Windows refuses (fs/WindowsPath says which) never reaches the API, since the \\?\ form
// skips Windows' own device mapping. Files are opened without following a reparse point at the
// last level, and appended to through FILE_APPEND_DATA handles, one WriteFile a line, in the
// file's turn. Every handle has an owner (fs/Win32Handle.h).
//
// The turn at a file is a lock on one byte of the file itself, far past any end it reaches,
// through a handle that may read it: every spelling of the file takes the same turn, and only
// a process that can already keep a run from the file (by opening it without sharing writes)
// can hold it. A turn this process holds is taken again, not waited for.
#pragma once

#include <windows.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "fs/FileSystem.h"
#include "fs/Win32Handle.h"

namespace calendario {

class Win32FileSystem final : public FileSystemLayer {
 public:
  using Clock = std::chrono::steady_clock;
  // Which file a handle is open on: the volume and the file's id.
  using FileKey = std::array<std::uint64_t, 3>;

  // Turns at files are waited for until `turnsUntil` at most.
  explicit Win32FileSystem(Clock::time_point turnsUntil = Clock::now() + std::chrono::seconds(10));
  ~Win32FileSystem() override;

  std::error_code Obtain() override;
  // Each call hands the whole path to the API, so a walk is of no use here: the cost of a call
  // grows with the path's length (GetFullPathNameW and the \\?\ copy).
  std::error_code FolderExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateFolder(std::u16string_view path) override;
  std::error_code FileExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                 StreamId& stream) override;
  std::error_code GetFile(std::u16string_view path) override;
  std::error_code Size(std::u16string_view path, FileMeasure& measured) override;
  std::error_code Delete(std::u16string_view path, bool force,
                         const FileMeasure* measured) override;
  std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                   StreamId& stream) override;
  std::error_code WriteLine(StreamId stream, std::u16string_view text) override;
  std::error_code Close(StreamId stream) override;
  // The turn at the file, which is made when missing. A run that waited for it while its last
  // holder deleted the file and made it anew takes the new file's turn.
  std::error_code Lock(std::u16string_view path, LockId& lock) override;
  std::error_code Unlock(LockId lock) override;

 private:
  struct Stream;
  struct Turn;
  std::error_code OpenFile(std::u16string_view path, DWORD access, DWORD disposition,
                           bool appending, StreamId& stream);
  Turn* HeldTurn(const FileKey& key);
  void GiveTurn(Turn* turn);
  static Stream& ToStream(StreamId stream);

  Clock::time_point until_;
  std::vector<std::unique_ptr<Turn>> turns_;
};

// The path as the wide API should see it: absolute, resolved, with the \\?\ (or \\?\UNC\)
// prefix. Exposed for tests.
std::error_code NativePath(std::u16string_view path, std::wstring& native);

}  // namespace calendario
