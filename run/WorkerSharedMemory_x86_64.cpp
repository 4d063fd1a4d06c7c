// Linux on x86-64 only, outside the sanitizer builds (CMake picks this file): the worker shares
// the watcher's memory (clone with CLONE_VM), so starting it copies no page tables and its
// writes fault in no copies of pages, which a fork's do. It runs on a stack of its own, with a
// guard region below it.
//
// The C library knows nothing of such a process: the worker uses the watcher's thread-local
// storage (errno, malloc's per-thread cache, the locale, the exception globals). So, from the
// moment the worker starts until it has ended, the watcher calls nothing of the C library and
// allocates nothing: it waits with system calls made by hand, which set no errno, and leaves
// through EndWatcher, which does the same. The worker hands over its status in the memory they
// share; the kernel clears the worker's id there and wakes the watcher when the worker ends,
// however it ends (CLONE_CHILD_CLEARTID), so a worker that ended without a status is seen.
#include <linux/futex.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <ctime>
#include <new>

#include "run/WorkerPosix.h"

namespace calendario {
namespace {

// A system call that touches nothing but its arguments: no errno. Returns -errno on failure.
long RawSyscall(long number, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0,
                long f = 0) {
  long result;
  register long r10 asm("r10") = d;
  register long r8 asm("r8") = e;
  register long r9 asm("r9") = f;
  asm volatile("syscall"
               : "=a"(result)
               : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8), "r"(r9)
               : "rcx", "r11", "memory");
  return result;
}

// The walk is a loop, not a recursion, so a deep root needs no deep stack; this is the size of
// a thread's default stack. Only the pages touched are ever backed.
constexpr std::size_t kStackBytes = std::size_t{8} << 20;
// Larger than any frame of the program, so that no frame can step over it unnoticed.
constexpr std::size_t kGuardBytes = std::size_t{1} << 20;

constexpr int kUntold = -1;

// What the watcher and the worker share. It lies at the top of the worker's mapping, which the
// watcher never unmaps: the worker may outlive the watcher's wait, and writes here when it ends.
struct Handover {
  WorkFunction work;
  void* context;
  int status = kUntold;  // the worker's status, once it has one
  pid_t worker = 0;      // the worker's id while it runs; 0 once it has ended
};

int Worker(void* arg) {
  auto& handover = *static_cast<Handover*>(arg);
  const int status = static_cast<int>(handover.work(handover.context));
  std::atomic_ref<int>(handover.status).store(status, std::memory_order_release);
  return 0;
}

}  // namespace

ExitStatus Watch(WorkFunction work, void* context, std::chrono::steady_clock::time_point deadline) {
  void* mapped = ::mmap(nullptr, kGuardBytes + kStackBytes, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (mapped == MAP_FAILED) return work(context);
  auto* base = static_cast<std::byte*>(mapped);
  if (::mprotect(base, kGuardBytes, PROT_NONE) != 0) {
    ::munmap(mapped, kGuardBytes + kStackBytes);
    return work(context);
  }
  std::byte* top = base + kGuardBytes + kStackBytes - sizeof(Handover);
  auto* handover = new (top) Handover{work, context};
  // The stack grows down from below the handover, aligned as the ABI wants it.
  void* stack =
      reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(top) & ~std::uintptr_t{63});

  const auto since = deadline.time_since_epoch();
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since);
  const timespec until{static_cast<time_t>(seconds.count()),
                       static_cast<long>(std::chrono::nanoseconds(since - seconds).count())};

  // The worker starts on the processor the watcher runs on, which the watcher leaves to it at
  // once by waiting: placed on another one it would wake that one up, and so would its end the
  // watcher's, each a costly wait in a virtual machine.
  const int processor = ::sched_getcpu();
  if (processor >= 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(processor, &one);
    ::sched_setaffinity(0, sizeof one, &one);
  }
  constexpr int kFlags = CLONE_VM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD;
  const pid_t worker =
      ::clone(Worker, stack, kFlags, handover, &handover->worker, nullptr, &handover->worker);
  if (worker < 0) {
    ::munmap(mapped, kGuardBytes + kStackBytes);
    return work(context);
  }
  // From here until the worker has ended: system calls by hand only.
  std::atomic_ref<pid_t> running(handover->worker);
  for (;;) {
    const pid_t seen = running.load(std::memory_order_acquire);
    if (seen == 0) break;
    // Absolute, on the monotonic clock; not a private futex, as the kernel's wake is not.
    const long waited =
        RawSyscall(SYS_futex, reinterpret_cast<long>(&handover->worker), FUTEX_WAIT_BITSET, seen,
                   reinterpret_cast<long>(&until), 0, static_cast<long>(FUTEX_BITSET_MATCH_ANY));
    if (waited == -ETIMEDOUT) return ExitStatus::kTimedOut;
  }
  const int status = std::atomic_ref<int>(handover->status).load(std::memory_order_acquire);
  if (status == kUntold) return ExitStatus::kUntold;
  // Reaped, so that what it used counts as the run's (for time, getrusage and the like). It has
  // closed every file it opened but for folder handles, whose closing asks no file system.
  ::wait4(worker, nullptr, 0, nullptr);
  return static_cast<ExitStatus>(status);
}

void EndWatcher(int status, const sigset_t& deferred) {
  // The kernel's signal set is the first word of the C library's.
  RawSyscall(SYS_rt_sigprocmask, SIG_UNBLOCK, reinterpret_cast<long>(&deferred), 0, 8);
  RawSyscall(SYS_exit_group, status);
  __builtin_unreachable();
}

}  // namespace calendario
