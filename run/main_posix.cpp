// The POSIX process entry: a watcher that bounds the run, and the worker that does it, handing
// Main the host's clock, its arguments as one command-line text, and the POSIX file-system
// backend.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <cwchar>
#include <new>
#include <string>

#include "fs/FileSystemPosix.h"
#include "fs/Text.h"
#include "run/DailyRun.h"

namespace calendario {
namespace {

// How long a run may take at most, in wall time: an unattended run that meets something that
// blocks (a device where a file should be, a network share that stopped answering) must still
// end. The build sets it (60 seconds; a copy for the tests has less).
constexpr unsigned kRunSeconds = CALENDARIO_RUN_SECONDS;

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

// The C library reads the time zone from a file named by TZ: an absolute one, or one under
// TZDIR (or its own zone folder) for any other value, even a rule such as "UTC0", an empty TZ
// ("Universal") or a rule that needs the default daylight-saving rules ("posixrules"). A FIFO,
// a terminal or a device there would block that read for good. Such a TZ naming an absolute
// file is dropped, and the system's own zone used; for the others the zone folder is made one
// that holds nothing (/dev/null is no folder), so the rule in TZ is read as a rule.
void KeepTimeZoneFromBlocking() {
  const char* tz = std::getenv("TZ");
  if (tz == nullptr) return;  // the system's own zone
  std::string name = tz[0] == '\0' ? "Universal" : tz[0] == ':' ? tz + 1 : tz;
  const auto blocks = [](const std::string& file) {
    struct stat st;
    return ::stat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
  };
  if (!name.empty() && name[0] == '/') {
    if (blocks(name)) ::unsetenv("TZ");
    return;
  }
  const char* dir = std::getenv("TZDIR");
  const std::string folder = dir != nullptr && dir[0] != '\0' ? dir : "/usr/share/zoneinfo";
  if (blocks(folder + '/' + name) || blocks(folder + "/posixrules")) {
    ::setenv("TZDIR", "/dev/null", 1);
  }
}

// The run itself, in the worker: its status goes to `status` and is the worker's exit status.
// Its turns at files wait until `turnsUntil` at most, a little before the watcher gives up on
// it, so that a line it could not write is told by its status. Nothing is buffered, and the
// host closes what the run still holds open: the worker ends without spending a call on each.
[[noreturn]] void Finish(int status, ExitStatus result) {
  const auto code = static_cast<unsigned char>(result);
  (void)!::write(status, &code, 1);
  ::_exit(code);
}

[[noreturn]] void Work(int argc, char** argv, std::chrono::steady_clock::time_point turnsUntil,
                       int status) {
  try {
    KeepTimeZoneFromBlocking();
    std::setlocale(LC_TIME, "");
    PosixClock clock;
    PosixFileSystem fileSystem(PosixDrives::FolderFromEnvironment(), turnsUntil);
    const std::u16string commandLine = CommandLineText(argc, argv);
    Platform platform{clock, commandLine, fileSystem};
    Finish(status, Main(platform));
  } catch (const std::bad_alloc&) {
    // Before the run began: nothing made, nothing reported.
  }
  Finish(status, ExitStatus::kFolderFailed);
}

// Runs Work in a worker process and waits for its status, kRunSeconds at most. The watcher
// only waits, on a pipe the worker writes its status to, with a timeout: no signal is needed,
// so no inherited mask or disposition can take the bound away, and no file-system call is
// made here, so none that never returns (a hung network share) can hold the watcher.
ExitStatus RunBounded(int argc, char** argv) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const Clock::time_point deadline = start + std::chrono::seconds(kRunSeconds);
  int status[2];
  if (::pipe2(status, O_CLOEXEC) != 0) return ExitStatus::kNotStarted;
  const pid_t worker = ::fork();
  if (worker < 0) return ExitStatus::kNotStarted;
  if (worker == 0) Work(argc, argv, deadline - (deadline - start) / 10, status[1]);
  ::close(status[1]);
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ExitStatus::kTimedOut;
    pollfd ready{status[0], POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return ExitStatus::kTimedOut;
    unsigned char code = 0;
    // Nothing to read: the worker was ended before it could say how the run went.
    if (::read(status[0], &code, 1) != 1) return ExitStatus::kTimedOut;
    // Reaped, so that what it used counts as the run's (for time, getrusage and the like).
    ::waitpid(worker, nullptr, 0);
    return static_cast<ExitStatus>(code);
  }
}

}  // namespace
}  // namespace calendario

int main(int argc, char** argv) {
  using namespace calendario;
  // A stop or shutdown (TERM), an interrupt, a hang-up or a quit waits until the run's lines
  // are written: the kernel cuts a write short when such a signal is about to end the process.
  // The worker inherits the mask.
  sigset_t deferred;
  sigemptyset(&deferred);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&deferred, signal);
  ::sigprocmask(SIG_BLOCK, &deferred, nullptr);
  // A file-size limit must fail a write, not end the process halfway through a run.
  std::signal(SIGXFSZ, SIG_IGN);
  const int status = static_cast<int>(RunBounded(argc, argv));
  // Every line is written: a signal that came meanwhile takes effect now.
  ::sigprocmask(SIG_UNBLOCK, &deferred, nullptr);
  // Nothing is buffered: end here, without the C library's own ending.
  std::_Exit(status);
}
