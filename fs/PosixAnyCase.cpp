#include "fs/PosixAnyCase.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "fs/Text.h"
#include "fs/WindowsTables.h"

namespace calendario {
namespace {

std::u16string Upper(std::string_view name) {
  std::u16string text = Utf8ToUtf16(name);
  for (char16_t& c : text) c = WindowsUpperCase(c);
  return text;
}

// Runs `op` on the exact name, and again on a name that differs in case alone when the exact
// one is not there.
template <typename Op>
int AtAnyCase(int dirfd, std::string& name, Op op) {
  const int result = op(name);
  if (result >= 0 || errno != ENOENT) return result;
  std::string other = FindAnyCase(dirfd, name);
  if (other.empty() || other == name) {
    errno = ENOENT;
    return -1;
  }
  name = std::move(other);
  return op(name);
}

}  // namespace

std::string FindAnyCase(int dirfd, std::string_view name) {
  const int fd = ::openat(dirfd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return {};
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) {
    ::close(fd);
    return {};
  }
  const std::u16string wanted = Upper(name);
  std::string found;
  try {
    while (const dirent* entry = ::readdir(dir)) {
      const std::string_view candidate = entry->d_name;
      if (candidate == "." || candidate == "..") continue;
      if ((found.empty() || candidate < found) && Upper(candidate) == wanted) found = candidate;
    }
  } catch (...) {
    ::closedir(dir);
    throw;
  }
  ::closedir(dir);
  return found;
}

int OpenAtAnyCase(int dirfd, std::string& name, int flags) {
  return AtAnyCase(dirfd, name,
                   [&](const std::string& n) { return ::openat(dirfd, n.c_str(), flags); });
}

int StatAtAnyCase(int dirfd, std::string& name, struct stat& st) {
  return AtAnyCase(dirfd, name,
                   [&](const std::string& n) { return ::fstatat(dirfd, n.c_str(), &st, 0); });
}

int UnlinkAtAnyCase(int dirfd, std::string& name) {
  return AtAnyCase(dirfd, name,
                   [&](const std::string& n) { return ::unlinkat(dirfd, n.c_str(), 0); });
}

}  // namespace calendario
