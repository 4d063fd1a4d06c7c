// POSIX only.
#include "fs/PosixDrives.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "fs/Text.h"

namespace calendario {
namespace {
constexpr const char* kDrivesBelow = "/calendario/drives";

// Makes every missing level of an absolute host folder (the drive C: folder), but never the
// user's home folder: one that is not there is not the user's to make (as root it would be a
// new folder at the top of the file system).
bool MakeHostFolders(const std::string& folder) {
  const char* home = std::getenv("HOME");
  std::string keep = home != nullptr ? home : "";
  while (keep.size() > 1 && keep.back() == '/') keep.pop_back();
  for (std::size_t i = 1; i <= folder.size(); ++i) {
    if (i == folder.size() || folder[i] == '/') {
      const std::string level = folder.substr(0, i);
      if (level == keep) continue;
      if (::mkdir(level.c_str(), 0777) != 0 && errno != EEXIST) return false;
    }
  }
  return true;
}

std::string RealPath(const std::string& path) {
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string text = real;
  std::free(real);
  return text;
}

}  // namespace

std::string PosixDrives::FolderFromEnvironment() {
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && dataHome[0] == '/') return std::string(dataHome) + kDrivesBelow;
  return FolderFromHome();
}

std::string PosixDrives::FolderFromHome() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return {};
  return std::string(home) + "/.local/share" + kDrivesBelow;
}

bool PosixDrives::FallBackToHome() {
  // XDG_DATA_HOME names a file (or /dev/null): unusable, as if it were not set at all.
  std::string home = FolderFromHome();
  if (home.empty() || home == folder_) return false;
  folder_ = std::move(home);
  return true;
}

std::error_code PosixDrives::Top(char16_t letter, int& fd) {
  Fd& slot = tops_[letter - u'a'];
  if (!slot) {
    const std::string folder = folder_ + '/' + static_cast<char>(letter);
    Fd opened(::open(folder.c_str(), kFolderOpenFlags));
    if (!opened && errno == ENOTDIR && FallBackToHome()) return Top(letter, fd);
    if (!opened && errno == ENOENT) {
      if (letter == u'c') {
        // The top of a drive always exists: C:'s folder is made the first time it is needed.
        if (MakeHostFolders(folder)) {
          opened.Reset(::open(folder.c_str(), kFolderOpenFlags));
        } else if (errno == ENOTDIR && FallBackToHome()) {
          return Top(letter, fd);
        }
      } else if (letter == u'z') {
        opened.Reset(::open("/", kFolderOpenFlags));
      } else {
        return {ENOENT, std::generic_category()};
      }
    }
    if (!opened) return {errno, std::generic_category()};
    slot = std::move(opened);
  }
  fd = slot.Get();
  return {};
}

const CurrentFolder& PosixDrives::Current() {
  if (currentKnown_) return current_;
  currentKnown_ = true;
  char* cwd = ::getcwd(nullptr, 0);
  if (cwd == nullptr) return current_;
  const std::string here = cwd;
  std::free(cwd);
  std::size_t closest = 0;
  for (char letter = 'a'; letter <= 'z'; ++letter) {
    std::string top = RealPath(folder_ + '/' + letter);
    if (top.empty()) continue;
    if (top == "/") top.clear();
    const bool inside = here.compare(0, top.size(), top) == 0 &&
                        (here.size() == top.size() || here[top.size()] == '/');
    if (!inside || top.size() + 1 <= closest) continue;
    closest = top.size() + 1;
    current_.drive = static_cast<char16_t>(letter);
    current_.onDrive = true;
    current_.levels = PathLevels();
    std::size_t start = top.size() + 1;
    while (start < here.size()) {
      std::size_t end = here.find('/', start);
      if (end == std::string::npos) end = here.size();
      current_.levels.Push(Utf8ToUtf16(std::string_view(here).substr(start, end - start)));
      start = end + 1;
    }
  }
  return current_;
}

}  // namespace calendario
