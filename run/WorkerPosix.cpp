// The worker is a fork. It claims its steps and tells its status through a word in a page the
// two share (run/WorkerWord.h); the pipe between them carries nothing, and its end tells the
// watcher that the worker has ended, however it ended.
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "fs/PosixFd.h"
#include "run/WorkerPosix.h"
#include "run/WorkerWord.h"

namespace calendario {

ExitStatus Watch(WorkFunction work, void* context, std::chrono::steady_clock::time_point deadline) {
  using Clock = std::chrono::steady_clock;
  // Mapped shared before the fork: an ordinary variable would be the worker's own copy after it.
  void* page = ::mmap(nullptr, sizeof(WorkerWord::Word), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (page == MAP_FAILED) return work(context, nullptr);
  WorkerWord word(WorkerWord::MakeIn(page));
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return work(context, nullptr);
  Fd ended(ends[0]);
  Fd running(ends[1]);
  const pid_t worker = ::fork();
  if (worker < 0) {
    ended.Reset();
    running.Reset();
    return work(context, nullptr);
  }
  if (worker == 0) {
    const ExitStatus status = work(context, &word);
    word.Tell(status);
    // Nothing is buffered, and the host closes what the run still holds open.
    ::_exit(static_cast<int>(status));
  }
  running.Reset();
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return word.GiveUp();
    pollfd end{ended.Get(), POLLIN, 0};
    const int polled = ::poll(&end, 1, static_cast<int>(left.count()));
    if (polled < 0 && errno == EINTR) continue;
    if (polled <= 0) return word.GiveUp();
    // Reaped when it is gone already; one still closing what it held (on a share that stopped
    // answering, say) is not waited for.
    ::waitpid(worker, nullptr, WNOHANG);
    return word.Told();
  }
}

}  // namespace calendario
