// Turns at files, the part every backend shares: the table of the turns this process holds,
// each under the key of its file, and Turn, the move-only owner of one. A backend takes a turn
// with a lock call of its own, through a handle of its own kind (`Hold`), and keeps it here;
// the same file reached again, under any spelling, takes the turn it already holds once more
// instead of waiting for itself. The lock goes when the last owner does: the table releases
// the hold, and the handle that held the lock closes.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace calendario {

// Which file a turn is at, as the host tells files apart (a device and inode number; a volume
// and file id).
using FileKey = std::array<std::uint64_t, 3>;

template <typename Hold>
class TurnTable {
  struct Entry {
    FileKey key;
    Hold hold;
    int owners = 0;
  };

 public:
  // One owner of a turn; releasing the last owner gives the turn back.
  class Turn {
   public:
    Turn() = default;
    Turn(const Turn&) = delete;
    Turn& operator=(const Turn&) = delete;
    Turn(Turn&& other) noexcept
        : table_(std::exchange(other.table_, nullptr)), entry_(other.entry_) {}
    Turn& operator=(Turn&& other) noexcept {
      if (this != &other) {
        (void)Release();
        table_ = std::exchange(other.table_, nullptr);
        entry_ = other.entry_;
      }
      return *this;
    }
    ~Turn() { (void)Release(); }

    explicit operator bool() const { return table_ != nullptr; }
    // The handle the turn is held through. Only while the turn is owned.
    Hold& Held() const { return entry_->hold; }
    // Gives this owner up. When it was the last, the hold is released, and what releasing it
    // says (a close that failed) is the result.
    std::error_code Release() {
      if (table_ == nullptr) return {};
      return std::exchange(table_, nullptr)->GiveBack(entry_);
    }

   private:
    friend class TurnTable;
    Turn(TurnTable* table, Entry* entry) : table_(table), entry_(entry) { ++entry->owners; }
    TurnTable* table_ = nullptr;
    Entry* entry_ = nullptr;
  };

  TurnTable() = default;
  TurnTable(const TurnTable&) = delete;
  TurnTable& operator=(const TurnTable&) = delete;

  // The turn at the file when this process already holds it, owned once more; an empty Turn
  // otherwise.
  Turn HeldAlready(const FileKey& key) {
    for (const auto& entry : entries_) {
      if (entry->key == key) return Turn(this, entry.get());
    }
    return {};
  }
  // Keeps the hold through which the backend has just taken the turn at the file, and hands
  // out its first owner. May throw std::bad_alloc (the hold is released then).
  Turn Keep(const FileKey& key, Hold hold) {
    entries_.push_back(std::make_unique<Entry>(Entry{key, std::move(hold)}));
    return Turn(this, entries_.back().get());
  }
  std::size_t size() const { return entries_.size(); }

 private:
  std::error_code GiveBack(Entry* entry) {
    if (--entry->owners > 0) return {};
    std::error_code released;
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->get() != entry) continue;
      released = entry->hold.Release();
      entries_.erase(it);
      break;
    }
    return released;
  }

  std::vector<std::unique_ptr<Entry>> entries_;
};

// What one try at a lock found.
enum class LockTry {
  kTaken,  // the turn is this process's now
  kBusy,   // another holds it: try again in a moment
};

// Tries `attempt` (returning a LockTry, or failing) every millisecond until it takes the turn
// or `until` has passed (timed_out). `waited` says whether the first try found it busy.
template <typename Attempt>
std::error_code WaitForTurn(std::chrono::steady_clock::time_point until, bool& waited,
                            Attempt attempt) {
  waited = false;
  for (;;) {
    LockTry found = LockTry::kBusy;
    if (auto ec = attempt(found)) return ec;
    if (found == LockTry::kTaken) return {};
    waited = true;
    if (std::chrono::steady_clock::now() >= until) {
      return std::make_error_code(std::errc::timed_out);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace calendario
