// What a backend hands out by id (its open streams, its held locks): kept in a table by serial
// number, so that an id names one entry for the whole run and never memory.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace calendario {

template <typename Id, typename Value>
class IdTable {
 public:
  // Keeps `value` under a new id. May throw std::bad_alloc, and then keeps nothing.
  Id Add(Value value) {
    const Id id = static_cast<Id>(++last_);
    entries_.emplace_back(id, std::move(value));
    return id;
  }
  // The value kept under `id`, or nullptr when there is none.
  Value* Find(Id id) {
    for (auto& [known, value] : entries_) {
      if (known == id) return &value;
    }
    return nullptr;
  }
  // Hands the value kept under `id` over to `out` and forgets the id; false when there is none.
  bool Take(Id id, Value& out) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->first != id) continue;
      out = std::move(it->second);
      entries_.erase(it);
      return true;
    }
    return false;
  }
  std::size_t size() const { return entries_.size(); }

 private:
  std::vector<std::pair<Id, Value>> entries_;
  std::intptr_t last_ = 0;
};

}  // namespace calendario
