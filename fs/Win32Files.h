// What every part of the Win32 backend shares: a failure as a code, a path made ready for the
// wide API, and what an open file is.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>
#include <system_error>

#include "fs/FileSystem.h"
#include "fs/Turns.h"
#include "fs/Win32Handle.h"

namespace calendario {

// The calling thread's last error, as a code.
std::error_code LastError();

// Every handle shares every way, so that it disturbs no other holder.
inline constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The path as the wide API should see it: absolute, resolved, with the \\?\ (or \\?\UNC\)
// prefix.
std::error_code NativePath(std::u16string_view path, std::wstring& native);

// NativePath, for a path whose every name Windows accepts: a name Windows would refuse, or map
// to a device, never reaches the API (the \\?\ form skips Windows' own device mapping), and a
// path ending in a separator never names a file.
std::error_code Prepare(std::u16string_view path, bool asFile, std::wstring& native);

// What the file system says of an open file: its attributes, its links, its length and its
// identity. The identity is the volume and the 128-bit file id (the 64-bit index is not unique
// on ReFS), or the index where the file system has no such id, and the time of the last write.
std::error_code Describe(HANDLE file, BY_HANDLE_FILE_INFORMATION& info, FileMeasure& measured);

// Which file is open: the identity without the time of the last write.
std::error_code FileOf(HANDLE file, FileKey& key);

// A handle that asks only for the file's attributes and shares every way.
UniqueHandle Look(const std::wstring& native, DWORD flags);

}  // namespace calendario
