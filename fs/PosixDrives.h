// The drives of the POSIX backend: one host folder per drive letter, under the drives folder
// ${XDG_DATA_HOME:-$HOME/.local/share}/calendario/drives. A drive exists when its folder (or a
// link there) does; C:'s folder is made when first needed, and Z: is the host's / unless
// drives/z is there. Also where the process's current folder lies among them, which is what
// Windows would call the current drive and folder.
#pragma once

#include <array>
#include <string>
#include <system_error>

#include "fs/PosixFd.h"
#include "fs/WindowsPath.h"

namespace calendario {

class PosixDrives {
 public:
  // folder: the host folder holding one folder per drive letter; "" when there is none.
  explicit PosixDrives(std::string folder) : folder_(std::move(folder)) {}

  // ${XDG_DATA_HOME:-$HOME/.local/share}/calendario/drives, or "" when neither variable gives
  // an absolute folder. When XDG_DATA_HOME turns out to name something other than a folder (a
  // file, /dev/null), HOME's folder is taken instead the first time a drive is looked for.
  static std::string FolderFromEnvironment();
  static std::string FolderFromHome();

  bool Named() const { return !folder_.empty(); }

  // The top of drive `letter` ('a'..'z'), as a handle the drives keep for the whole run.
  std::error_code Top(char16_t letter, int& fd);

  // The current drive and folder: the drive whose host folder holds the process's current
  // folder most closely, and the levels below it; C: and outside every drive when none does.
  // Found the first time it is asked for.
  const CurrentFolder& Current();

 private:
  bool FallBackToHome();

  std::string folder_;
  std::array<Fd, 26> tops_;
  CurrentFolder current_;
  bool currentKnown_ = false;
};

}  // namespace calendario
