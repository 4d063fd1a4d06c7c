// POSIX only: the test folder is drive X:, mapped by the POSIX backend.
#include <stdlib.h>

#include "fs/FileSystemPosix.h"
#include "tests/RealDisk.h"

namespace calendario::testing {

std::filesystem::path MakeTempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "calendario-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

void RealDisk::SetUp() {
  tempRoot_ = MakeTempFolder();
  hostRoot_ = tempRoot_ / "drives" / "x";
  std::filesystem::create_directories(hostRoot_);
  layer_ = std::make_unique<PosixFileSystem>((tempRoot_ / "drives").string());
  winRoot_ = u"X:";
}

}  // namespace calendario::testing
