// The folder handles the POSIX backend keeps between calls: a path walked level by level, or
// a file reached again, is found from them with one call instead of from the drive's top.
//
// Invariants: each entry's handle is the folder its text named, resolved as a level with more
// below it, when the entry was made; an entry whose folder may have been made anew (deleted
// and made again) is forgotten before anything is reached through it; at most kEntries
// entries and kRetired retired handles are held, and a pinned entry (a lock is on its folder)
// is never closed or replaced while pinned.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "fs/PosixFd.h"

namespace calendario {

class FolderCache {
 public:
  static constexpr std::size_t kEntries = 4;
  static constexpr std::size_t kRetired = 4;

  // The handle of the folder the text named, or -1. Owned by the cache.
  int Find(std::u16string_view text) const;
  // The entry whose text is `text` less its last level (the text from `levelStart` on, with
  // no separator in it), or -1.
  int FindParent(std::u16string_view text, std::size_t& levelStart) const;
  // Keeps `fd` as the folder the text names, replacing what the text held (unless that is
  // pinned, when `fd` is closed instead). Returns the handle the cache now holds for the text.
  int Remember(std::u16string_view text, Fd fd);
  // Drops the entries for the text and every level below it (pinned ones stay).
  void Forget(std::u16string_view text);
  // Keeps a handle that no text names any more, to be closed when room is needed; a short
  // run then never spends a call closing it, since the process's end closes it.
  void Retire(Fd fd);
  // Pins the entry holding `fd`; false when no entry does.
  bool Pin(int fd);
  void Unpin(int fd);

 private:
  struct Entry {
    std::u16string text;
    Fd fd;
    int pins = 0;
  };
  std::vector<Entry> entries_;  // most recent last
  std::vector<Fd> retired_;     // oldest first
};

}  // namespace calendario
