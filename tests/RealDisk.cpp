#include "tests/RealDisk.h"

#include <fstream>
#include <iterator>

#include "fs/Text.h"

namespace calendario::testing {

std::filesystem::path RealDisk::Host(std::u16string_view relative) const {
  std::u16string host(relative);
  for (char16_t& c : host) {
    if (c == u'\\') c = u'/';
  }
  // Build from UTF-8 explicitly, so that no host code page takes part.
  const std::string utf8 = Utf16ToUtf8(host);
  const std::u8string u8(utf8.begin(), utf8.end());
  return relative.empty() ? hostRoot_ : hostRoot_ / std::filesystem::path(u8);
}

std::u16string RealDisk::Win(std::u16string_view relative) const {
  return relative.empty() ? winRoot_ : winRoot_ + u"\\" + std::u16string(relative);
}

bool RealDisk::IsFolder(std::u16string_view relative) const {
  std::error_code ec;
  return std::filesystem::is_directory(Host(relative), ec);
}

bool RealDisk::IsFile(std::u16string_view relative) const {
  std::error_code ec;
  return std::filesystem::is_regular_file(Host(relative), ec);
}

bool RealDisk::Exists(std::u16string_view relative) const {
  std::error_code ec;
  return std::filesystem::exists(std::filesystem::symlink_status(Host(relative), ec));
}

std::string RealDisk::Read(std::u16string_view relative) const {
  std::ifstream in(Host(relative), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void RealDisk::Write(std::u16string_view relative, const std::string& bytes) const {
  std::ofstream out(Host(relative), std::ios::binary | std::ios::trunc);
  out << bytes;
}

void RealDisk::MakeFolder(std::u16string_view relative) const {
  std::filesystem::create_directories(Host(relative));
}

void RealDisk::TearDown() {
  layer_.reset();
  std::error_code ec;
#ifdef _WIN32
  // In the \\?\ form, so that a folder named like a device ("CON") is a folder to remove.
  std::filesystem::remove_all(L"\\\\?\\" + std::filesystem::absolute(tempRoot_).wstring(), ec);
#else
  std::filesystem::remove_all(tempRoot_, ec);
#endif
}

}  // namespace calendario::testing
