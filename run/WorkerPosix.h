// The run's bound on POSIX: the process the scheduler starts is the watcher, which forks the
// worker that makes the run and only waits for it. The watcher makes no file-system call while
// the worker runs and needs no signal, so neither a call that never returns (a hung network
// share, a dying disk) nor a signal mask inherited from whoever started it can keep it from
// ending in time; and once it has given up, the worker begins no further step
// (run/WorkerWord.h).
#pragma once

#include <chrono>

#include "fs/FileSystem.h"
#include "run/DailyRun.h"

namespace calendario {

// The run, as the worker makes it, its steps begun through `gate` (none in the process
// itself): its status.
using WorkFunction = ExitStatus (*)(void* context, StepGate* gate);

// Runs work(context) in a worker process and waits for its status until `deadline` at most:
// kTimedOut when it has not ended by then (it begins no step after that), kUntold when it
// ended without saying how the run went (it was killed, or crashed). When no worker can be
// started (the system will start no more processes, or has no memory or descriptor for one),
// runs it in this process instead, without the bound: a run that would have worked is never
// refused for want of a worker.
ExitStatus Watch(WorkFunction work, void* context, std::chrono::steady_clock::time_point deadline);

}  // namespace calendario
