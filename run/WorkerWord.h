// The one word a watcher and its worker share, in memory mapped into both (POSIX: a page mapped
// shared before the fork; Windows: a file mapping of the run's own). The fault it stops: a
// worker past its bound that went on making folders, files and lines after its watcher had
// ended with status 5, so that the status said the run had not happened and the disk said it
// had. Through the word the worker claims each step that makes something, and tells its status
// when its run is over; the watcher gives up on it. Each side changes the word by one atomic
// operation, so no step begins once the watcher has given up (the step in flight then is
// finished whole), and a status told before the watcher gave up is the one that counts.
#pragma once

#include <atomic>
#include <cstdint>
#include <new>

#include "fs/FileSystem.h"
#include "run/DailyRun.h"

namespace calendario {

class WorkerWord final : public StepGate {
 public:
  using Word = std::atomic<std::uint32_t>;
  // Another process changes it: it must need no lock of this process's.
  static_assert(Word::is_always_lock_free);

  // Makes the word in `memory` (zeroed memory holds it already), for the watcher, before the
  // worker starts.
  static Word& MakeIn(void* memory) { return *new (memory) Word(kIdle); }
  explicit WorkerWord(Word& word) : word_(word) {}

  // The worker: a step may begin while the watcher has not given up; it is claimed until End.
  bool Begin() override {
    std::uint32_t idle = kIdle;
    return word_.compare_exchange_strong(idle, kBusy);
  }
  void End() override {
    std::uint32_t busy = kBusy;
    word_.compare_exchange_strong(busy, kIdle);  // a word given up meanwhile stays so
  }
  // The worker, once its run is over: its status, unless the watcher has given up.
  void Tell(ExitStatus status) {
    std::uint32_t idle = kIdle;
    word_.compare_exchange_strong(idle, kTold | static_cast<std::uint8_t>(status));
  }

  // The watcher, once the worker has ended: its status, or kUntold when it told none.
  ExitStatus Told() const { return StatusIn(word_.load()); }
  // The watcher, at its bound: no step begins after this. The worker's status when it had told
  // one already, kTimedOut otherwise.
  ExitStatus GiveUp() {
    const ExitStatus told = StatusIn(word_.exchange(kGivenUp));
    return told == ExitStatus::kUntold ? ExitStatus::kTimedOut : told;
  }

 private:
  static constexpr std::uint32_t kIdle = 0;
  static constexpr std::uint32_t kBusy = 1;
  static constexpr std::uint32_t kGivenUp = 2;
  static constexpr std::uint32_t kTold = 0x100;  // with the status in the low byte

  static ExitStatus StatusIn(std::uint32_t word) {
    return (word & kTold) != 0 ? static_cast<ExitStatus>(word & 0xFF) : ExitStatus::kUntold;
  }

  Word& word_;
};

}  // namespace calendario
