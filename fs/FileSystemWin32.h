// The Win32 backend of the file-system layer: the wide (W) API only. Paths are made absolute
// by GetFullPathNameW and given the \\?\ prefix, so that they may run to 32767 characters.
// Files are opened without following a reparse point at the last level, and appended to
// through FILE_APPEND_DATA handles, one WriteFile a line, each under the file's named mutex.
#pragma once

#include <windows.h>

#include <string>

#include "fs/FileSystem.h"

namespace calendario {

class Win32FileSystem final : public FileSystemLayer {
 public:
  using FileSystemLayer::CreateFolder;
  using FileSystemLayer::FolderExists;
  std::error_code Obtain() override;
  // Each call hands the whole path to the API, so a walk is not used: the cost of a call grows
  // with the path's length (GetFullPathNameW and the \\?\ copy).
  std::error_code FolderExists(std::u16string_view path, bool& exists, FolderWalk* walk) override;
  std::error_code CreateFolder(std::u16string_view path, FolderWalk* walk) override;
  std::error_code FileExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                 StreamId& stream) override;
  std::error_code GetFile(std::u16string_view path) override;
  std::error_code Size(std::u16string_view path, std::uint64_t& bytes) override;
  std::error_code Delete(std::u16string_view path, bool force) override;
  std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                   StreamId& stream) override;
  std::error_code WriteLine(StreamId stream, std::u16string_view text) override;
  std::error_code Close(StreamId stream) override;
  // A named mutex per file, not a byte-range lock: the holder may delete the file, and a
  // Windows file deleted while another handle holds it open keeps its name until that handle
  // closes.
  std::error_code Lock(std::u16string_view path, LockId& lock) override;
  std::error_code Unlock(LockId lock) override;

 private:
  // The file Size last measured, so that Delete takes that file only, as it was.
  struct Measured {
    std::wstring path;
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    std::uint64_t size = 0;
  };
  std::error_code DeleteWhole(const std::wstring& native, const Measured& measured);
  Measured measured_;
};

// The path as the wide API should see it: absolute, resolved, with the \\?\ (or \\?\UNC\)
// prefix. Exposed for tests.
std::error_code NativePath(std::u16string_view path, std::wstring& native);

}  // namespace calendario
