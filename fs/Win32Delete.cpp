// Windows only: deleting a file through one handle on it, so that what is measured, renamed
// and deleted is one file, and what a deletion by renaming left behind.
#define _CRT_RAND_S  // rand_s, from the C library, which the program imports already
#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Files.h"

namespace calendario {
namespace {

// What a file deleted by renaming it away is renamed to, beside it: its name, this, and 32 hex
// digits from the system's random source. Only names of exactly that shape are ever removed as
// what such a deletion left.
constexpr std::wstring_view kAway = L".calendario-deleted-";
constexpr std::size_t kAwayDigits = 32;
constexpr std::wstring_view kDigits = L"0123456789abcdef";
// Where the file system offers it, a deleted file's name goes at once (POSIX semantics).
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// The name `native` is renamed away to: one no one can have planted beforehand or be holding.
std::error_code AwayName(const std::wstring& native, std::wstring& away) {
  away = native + std::wstring(kAway);
  for (int i = 0; i < 4; ++i) {
    unsigned int word = 0;
    if (const errno_t failed = rand_s(&word)) return {failed, std::generic_category()};
    for (int j = 0; j < 8; ++j, word >>= 4) away += kDigits[word & 0xF];
  }
  return {};
}

// Renames the file open in `file` to `native`, never over a file there.
bool RenameTo(HANDLE file, const std::wstring& native) {
  const std::size_t bytes = native.size() * sizeof(wchar_t);
  std::string buffer(sizeof(FILE_RENAME_INFO) + bytes, '\0');
  auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  rename->ReplaceIfExists = FALSE;
  rename->FileNameLength = static_cast<DWORD>(bytes);
  std::memcpy(rename->FileName, native.data(), bytes);
  return ::SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size()));
}

// Removes what deletions by renaming left beside the file `native` (a run ended between its
// rename and its mark). Called only by a run that has just deleted the file, so that what others
// put in the folder costs the other runs nothing. Only a name of the shape AwayName gives, and
// only a regular file with one link, read-only mark and reparse point neither, opened itself
// (not what a link leads to): nothing the program did not make, and no link's target.
void RemoveLeftovers(const std::wstring& native) {
  const std::size_t cut = native.rfind(L'\\') + 1;
  const std::wstring prefix = native.substr(cut) + std::wstring(kAway);
  WIN32_FIND_DATAW found;
  const HANDLE search = ::FindFirstFileExW(
      (native + std::wstring(kAway) + std::wstring(kAwayDigits, L'?')).c_str(), FindExInfoBasic,
      &found, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring_view name(found.cFileName);
    if (name.size() != prefix.size() + kAwayDigits ||
        name.find_first_not_of(kDigits, prefix.size()) != std::wstring_view::npos ||
        ::CompareStringOrdinal(found.cFileName, static_cast<int>(prefix.size()), prefix.c_str(),
                               static_cast<int>(prefix.size()), TRUE) != CSTR_EQUAL) {
      continue;
    }
    const UniqueHandle left(::CreateFileW((native.substr(0, cut) + found.cFileName).c_str(),
                                          DELETE | FILE_READ_ATTRIBUTES | SYNCHRONIZE, kShareAll,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                          nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    // Where links are not reparse points (Wine's host links), the handle names what it reached.
    std::wstring reached(32768, L'\0');
    const DWORD n = left ? ::GetFinalPathNameByHandleW(left.Get(), reached.data(), 32768, 0) : 0;
    reached.resize(n < 32768 ? n : 0);
    if (!left || !::GetFileInformationByHandle(left.Get(), &info) || info.nNumberOfLinks != 1 ||
        (info.dwFileAttributes &
         (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_READONLY)) ||
        !reached.ends_with(L'\\' + std::wstring(name))) {
      continue;
    }
    FILE_DISPOSITION_INFO doomed{TRUE};
    ::SetFileInformationByHandle(left.Get(), FileDispositionInfo, &doomed, sizeof doomed);
  } while (::FindNextFileW(search, &found));
  ::FindClose(search);
}
}  // namespace

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
  if (!::SetFileInformationByHandle(file.Get(), kFileDispositionInfoEx, &gone, sizeof gone)) {
    std::wstring away;
    if (auto ec = AwayName(native, away)) return keep(ec);
    if (!RenameTo(file.Get(), away)) return keep(LastError());
    FILE_DISPOSITION_INFO doomed{TRUE};
    if (!::SetFileInformationByHandle(file.Get(), FileDispositionInfo, &doomed, sizeof doomed)) {
      const auto ec = LastError();
      RenameTo(file.Get(), native);  // not deleted after all: back in its place
      return keep(ec);
    }
  }
  RemoveLeftovers(native);
  return {};
}

}  // namespace calendario
