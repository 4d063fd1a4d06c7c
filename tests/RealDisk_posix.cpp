// POSIX only: the test folder is drive X:, mapped by the POSIX backend.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include "fs/FileSystemPosix.h"
#include "tests/RealDisk.h"

namespace calendario::testing {

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "calendario-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

int CountNestedLevels(const std::filesystem::path& top, const std::string& level) {
  int fd = ::open(top.c_str(), O_RDONLY | O_DIRECTORY);
  int count = 0;
  while (fd >= 0) {
    const int next = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(fd);
    fd = next;
    if (fd >= 0) ++count;
  }
  return count;
}

void RealDisk::SetUp() {
  tempRoot_ = MakeTempFolder();
  hostRoot_ = tempRoot_ / "drives" / "x";
  std::filesystem::create_directories(hostRoot_);
  layer_ = std::make_unique<PosixFileSystem>((tempRoot_ / "drives").string());
  winRoot_ = u"X:";
}

}  // namespace calendario::testing
