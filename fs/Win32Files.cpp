// Windows only.
#include "fs/Win32Files.h"

#include <cstring>

#include "fs/WindowsPath.h"

namespace calendario {

std::error_code LastError() {
  return {static_cast<int>(::GetLastError()), std::system_category()};
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

std::error_code Prepare(std::u16string_view path, bool asFile, std::wstring& native) {
  const ResolvedPath resolved = ResolveWindowsPath(path, CurrentFolder{});
  if (resolved.refused) return FsErrc::kInvalidName;
  if (asFile && resolved.endsWithSeparator) return FsErrc::kNotAFile;
  return NativePath(path, native);
}

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

std::error_code FileOf(HANDLE file, FileKey& key) {
  BY_HANDLE_FILE_INFORMATION info;
  FileMeasure measured;
  if (auto ec = Describe(file, info, measured)) return ec;
  key = {measured.identity[0], measured.identity[1], measured.identity[2]};
  return {};
}

UniqueHandle Look(const std::wstring& native, DWORD flags) {
  return UniqueHandle(::CreateFileW(native.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                    OPEN_EXISTING, flags, nullptr));
}

}  // namespace calendario
