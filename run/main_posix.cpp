// The POSIX process entry: hands Main the host's clock, its arguments as one command-line
// text, and the POSIX file-system backend.
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <string>

#include "fs/FileSystemPosix.h"
#include "fs/Text.h"
#include "run/DailyRun.h"

namespace calendario {
namespace {

class PosixClock final : public Clock {
 public:
  LocalDate Today() override {
    const std::tm tm = Now();
    return {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday};
  }

  // The C library's rendering under the LC_TIME locale: the date, a space, the time of day.
  std::u16string DateTimeText() override {
    const std::tm tm = Now();
    wchar_t text[128];
    const std::size_t n = std::wcsftime(text, sizeof text / sizeof text[0], L"%x %X", &tm);
    std::u32string wide;
    for (std::size_t i = 0; i < n; ++i) wide.push_back(static_cast<char32_t>(text[i]));
    return Utf32ToUtf16(wide);
  }

 private:
  static std::tm Now() {
    const std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm;
  }
};

// The arguments arrive already split: joined with single spaces they make the one text the
// tokenizer splits again.
std::u16string CommandLineText(int argc, char** argv) {
  std::string joined;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) joined += ' ';
    joined += argv[i];
  }
  return Utf8ToUtf16(joined);
}

// A time-zone file named by TZ that is not a regular file (a FIFO, a device) would block the C
// library's loader forever: such a TZ is dropped, and the system's own zone used instead.
void DropTimeZoneThatCouldBlock() {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr) return;
  std::string file = tz[0] == ':' ? tz + 1 : tz;
  if (file.find('/') == std::string::npos && tz[0] != ':') return;  // a rule such as "UTC0"
  if (file.empty()) return;
  if (file[0] != '/') {
    const char* dir = std::getenv("TZDIR");
    file = std::string(dir != nullptr && dir[0] != '\0' ? dir : "/usr/share/zoneinfo") + '/' + file;
  }
  struct stat st;
  if (::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) ::unsetenv("TZ");
}

}  // namespace
}  // namespace calendario

int main(int argc, char** argv) {
  using namespace calendario;
  // The run ends in bounded time whatever it meets: past kRunSeconds it ends with kTimedOut.
  // The handler runs between system calls, so a line already handed to the host is whole.
  struct sigaction expire {};
  expire.sa_handler = [](int) { ::_exit(static_cast<int>(ExitStatus::kTimedOut)); };
  ::sigaction(SIGALRM, &expire, nullptr);
  ::alarm(kRunSeconds);
  // A stop or shutdown (TERM), an interrupt, a hang-up or a quit waits until the run's lines
  // are written: the kernel cuts a write short when such a signal is about to end the process.
  sigset_t deferred;
  sigemptyset(&deferred);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&deferred, signal);
  ::sigprocmask(SIG_BLOCK, &deferred, nullptr);
  // A file-size limit must fail a write, not end the process halfway through a run.
  std::signal(SIGXFSZ, SIG_IGN);
  DropTimeZoneThatCouldBlock();
  std::setlocale(LC_TIME, "");
  PosixClock clock;
  PosixFileSystem fileSystem(PosixDrives::FolderFromEnvironment());
  const std::u16string commandLine = CommandLineText(argc, argv);
  Platform platform{clock, commandLine, fileSystem};
  const int status = static_cast<int>(Main(platform));
  // Every line is written: a signal that came meanwhile takes effect now.
  ::sigprocmask(SIG_UNBLOCK, &deferred, nullptr);
  // Nothing is buffered, and the host closes whatever the run still holds open: end here
  // rather than spend a call on each cached folder.
  std::_Exit(status);
}
