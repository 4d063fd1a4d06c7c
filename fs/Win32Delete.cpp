// Windows only: deleting a file through one handle on it, so that what is measured, renamed
// and deleted is one file, and what a deletion by renaming left behind.
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Files.h"

namespace calendario {
namespace {

// What a file deleted by renaming it away is renamed to, beside it: this, and a part of the
// run's own after it.
constexpr const wchar_t* kAway = L".calendario-deleted";
// Where the file system offers it, a deleted file's name goes at once (POSIX semantics).
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
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
}  // namespace

// Removes what deletions by renaming left beside the file `native`: files only, whoever's.
void Win32FileSystem::RemoveLeftovers(const std::wstring& native) {
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

}  // namespace calendario
