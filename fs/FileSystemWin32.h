// The Win32 backend of the file-system layer: the wide (W) API only. Paths are made absolute
// by GetFullPathNameW and given the \\?\ prefix, so that they may run to 32767 characters; a
// name Windows refuses (fs/WindowsPath says which) never reaches the API, since the \\?\ form
// skips Windows' own device mapping. Files are opened without following a reparse point at the
// last level, and appended to through FILE_APPEND_DATA handles, one WriteFile a line, each
// under the file's named mutex. Handles and held mutexes have owners (fs/Win32Handle.h).
#pragma once

#include <windows.h>

#include <string>

#include "fs/FileSystem.h"

namespace calendario {

class Win32FileSystem final : public FileSystemLayer {
 public:
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
  // A named mutex per file, not a byte-range lock: the holder may delete the file, and a
  // Windows file deleted while another handle holds it open keeps its name until that handle
  // closes.
  std::error_code Lock(std::u16string_view path, LockId& lock) override;
  std::error_code Unlock(LockId lock) override;
};

// The path as the wide API should see it: absolute, resolved, with the \\?\ (or \\?\UNC\)
// prefix. Exposed for tests.
std::error_code NativePath(std::u16string_view path, std::wstring& native);

}  // namespace calendario
