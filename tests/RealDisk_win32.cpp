// Windows only: the test folder is a fresh folder under the user's temporary folder.
#include <windows.h>

#include "fs/FileSystemWin32.h"
#include "tests/RealDisk.h"

namespace calendario::testing {

std::filesystem::path MakeTempFolder() {
  const std::filesystem::path base = std::filesystem::temp_directory_path();
  for (unsigned i = 0;; ++i) {
    const auto candidate = base / ("calendario-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                   std::to_string(::GetTickCount64()) + "-" + std::to_string(i));
    if (std::filesystem::create_directory(candidate)) return candidate;
  }
}

int CountNestedLevels(const std::filesystem::path& top, const std::string& level) {
  std::wstring path = L"\\\\?\\" + std::filesystem::absolute(top).wstring();
  const std::wstring name(level.begin(), level.end());
  int count = 0;
  for (;;) {
    path += L"\\" + name;
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) break;
    ++count;
  }
  return count;
}

void RealDisk::SetUp() {
  tempRoot_ = MakeTempFolder();
  hostRoot_ = tempRoot_ / "x";
  std::filesystem::create_directories(hostRoot_);
  layer_ = std::make_unique<Win32FileSystem>();
  const std::wstring root = hostRoot_.wstring();
  winRoot_.assign(root.begin(), root.end());
}

}  // namespace calendario::testing
