// The run's bound on POSIX: the process the scheduler starts is the watcher, which starts the
// worker that makes the run and only waits for it. The watcher makes no file-system call while
// the worker runs and needs no signal, so neither a call that never returns (a hung network
// share, a dying disk) nor a signal mask inherited from whoever started it can keep it from
// ending in time.
#pragma once

#include <signal.h>

#include <chrono>

#include "run/DailyRun.h"

namespace calendario {

// The run, as the worker makes it: its status.
using WorkFunction = ExitStatus (*)(void* context);

// Runs work(context) in a worker process and waits for its status until `deadline` at most:
// kTimedOut when it has not ended by then, kUntold when it ended without saying how the run
// went (it was killed, or crashed). When no worker can be started (the system will start no
// more processes, or has no memory or descriptor for one), runs it in this process instead,
// without the bound: a run that would have worked is never refused for want of a worker.
ExitStatus Watch(WorkFunction work, void* context, std::chrono::steady_clock::time_point deadline);

// Lets the deferred signals through (one that arrived meanwhile takes effect now) and ends the
// process with `status`, touching nothing a worker still running may share with the watcher.
[[noreturn]] void EndWatcher(int status, const sigset_t& deferred);

}  // namespace calendario
