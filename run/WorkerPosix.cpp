// The worker is a fork. It tells its status over a pipe; the pipe's end without a status is a
// worker that was killed or crashed.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "fs/PosixFd.h"
#include "run/WorkerPosix.h"

namespace calendario {

ExitStatus Watch(WorkFunction work, void* context, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return work(context);
  Fd status(ends[0]);
  Fd told(ends[1]);
  const pid_t worker = ::fork();
  if (worker < 0) {
    status.Reset();
    told.Reset();
    return work(context);
  }
  if (worker == 0) {
    const auto code = static_cast<unsigned char>(work(context));
    (void)!::write(told.Get(), &code, 1);
    // Nothing is buffered, and the host closes what the run still holds open.
    ::_exit(code);
  }
  told.Reset();
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return ExitStatus::kTimedOut;
    pollfd ready{status.Get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return ExitStatus::kTimedOut;
    unsigned char code = 0;
    if (::read(status.Get(), &code, 1) != 1) {
      ::waitpid(worker, nullptr, WNOHANG);
      return ExitStatus::kUntold;
    }
    // Reaped, so that what it used counts as the run's (for time, getrusage and the like).
    ::waitpid(worker, nullptr, 0);
    return static_cast<ExitStatus>(code);
  }
}

void EndWatcher(int status, const sigset_t& deferred) {
  ::sigprocmask(SIG_UNBLOCK, &deferred, nullptr);
  std::_Exit(status);
}

}  // namespace calendario
