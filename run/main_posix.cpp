// The POSIX process entry: a watcher that bounds the run (run/WorkerPosix.h), and the worker
// that makes it, handing Main the host's clock, its arguments as one command-line text, and the
// POSIX file-system backend.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "run/Bound.h"
#include "run/DailyRun.h"
#include "run/WorkerPosix.h"

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

// What the worker needs to make the run.
struct Job {
  int argc;
  char** argv;
  std::chrono::steady_clock::time_point turnsUntil;
};

// The run itself, in the worker (or, when none could be started, in the process itself, with
// no gate). Its turns at files wait until `turnsUntil` at most, a little before the watcher
// gives up on it, so that a line it could not write is told by its status. Every file the run
// opened is closed when Main returns; the backend is not taken down after it, since all it
// still holds are folder handles, which the end of the process closes without a call each and
// without asking any file system.
ExitStatus Work(void* context, StepGate* gate) {
  const Job& job = *static_cast<const Job*>(context);
  try {
    KeepTimeZoneFromBlocking();
    std::setlocale(LC_TIME, "");
    PosixClock clock;
    auto* fileSystem = new PosixFileSystem(PosixDrives::FolderFromEnvironment(), job.turnsUntil);
    fileSystem->SetStepGate(gate);
    const std::u16string commandLine = CommandLineText(job.argc, job.argv);
    Platform platform{clock, commandLine, *fileSystem};
    return Main(platform);
  } catch (const std::bad_alloc&) {
    // Before the run began: nothing made, nothing reported.
    return ExitStatus::kFolderFailed;
  }
}

}  // namespace
}  // namespace calendario

int main(int argc, char** argv) {
  using namespace calendario;
  const auto start = std::chrono::steady_clock::now();
  // A stop or shutdown (TERM), an interrupt, a hang-up or a quit waits until the run's lines
  // are written: the kernel cuts a write short when such a signal is about to end the process.
  // The worker inherits the mask.
  sigset_t deferred;
  sigemptyset(&deferred);
  for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGQUIT}) sigaddset(&deferred, signal);
  ::sigprocmask(SIG_BLOCK, &deferred, nullptr);
  // A file-size limit must fail a write, not end the process halfway through a run.
  std::signal(SIGXFSZ, SIG_IGN);
  Job job{argc, argv, TurnsUntil(start)};
  const ExitStatus status = Watch(Work, &job, start + kRunBound);
  // Every line is written: a signal that came meanwhile takes effect now. Nothing is buffered:
  // the process ends here, without the C library's own ending.
  ::sigprocmask(SIG_UNBLOCK, &deferred, nullptr);
  std::_Exit(static_cast<int>(status));
}
