// What the POSIX backend knows of the folders a run has reached: a few folder handles, so a
// file reached again is found with one call instead of from the drive's top, and the names a
// folder holds once they are known, so that no folder is read twice in a run.
//
// Folders are keyed by the keys of their resolved levels ("c:\TMPCALENDARIO\20261208", or
// ".\X" below the host's current folder), so every spelling of a folder finds its entry.
//
// Invariants: an entry's handle is the folder its key named when the handle was opened; an
// entry whose folder may have been made anew is forgotten before anything is reached through
// it; at most kEntries handles and kRetired retired handles are held. Known names are those read
// from the folder once, or, for a folder this run made, nothing but what the run made in it since;
// the run adds and removes what it makes and deletes there.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fs/PosixFd.h"

namespace calendario {

// The names a folder holds: each host name with its key.
class FolderNames {
 public:
  // Reads the folder's names, and finds among them the one FindOther(wanted, name) would.
  // False when the names are not all kept: the folder could not be read, or holds too many.
  // May throw std::bad_alloc.
  bool Read(int folder, std::u16string_view wanted, std::string_view name, std::string& found);
  // The host name other than `name` whose key is `key`: the first in byte order when several
  // have it; nullptr when none has.
  const std::string* FindOther(std::u16string_view key, std::string_view name) const;
  void Add(std::u16string key, std::string name);
  void Remove(std::string_view name);

 private:
  std::vector<std::pair<std::u16string, std::string>> names_;
};

class FolderCache {
 public:
  static constexpr std::size_t kEntries = 4;
  static constexpr std::size_t kRetired = 4;
  static constexpr std::size_t kListed = 8;

  // The handle of the folder the key names, or -1. Owned by the cache.
  int Find(std::u16string_view key) const;
  // The longest key held that is `key` or one of its folders (a prefix ending where a level
  // does), with its handle; -1 when none is.
  int FindClosest(std::u16string_view key, std::size_t& length) const;
  // Keeps `fd` as the folder the key names, replacing what the key held. Returns the handle
  // the cache now holds for the key.
  int Remember(std::u16string_view key, Fd fd);
  // Takes the handle of the folder the key names out of the cache; none when it holds none.
  Fd Take(std::u16string_view key);
  // Drops the handles and names of the key and every folder below it.
  void Forget(std::u16string_view key);
  // Keeps a handle that no key names any more, to be closed when room is needed; a short run
  // then never spends a call closing it, since the process's end closes it.
  void Retire(Fd fd);

  // The names of the folder the key names, when known; nullptr otherwise.
  FolderNames* Names(std::u16string_view key);
  // Makes `names` the known names of the folder the key names.
  FolderNames& KeepNames(std::u16string_view key, FolderNames names);

 private:
  struct Entry {
    std::u16string key;
    Fd fd;
  };
  std::vector<Entry> entries_;                                 // most recent last
  std::vector<Fd> retired_;                                    // oldest first
  std::vector<std::pair<std::u16string, FolderNames>> names_;  // most recent last
};

// True when `folder` is `key` or one of its folders: a prefix of it that ends where a level of
// it ends.
bool IsFolderOf(std::u16string_view folder, std::u16string_view key);

}  // namespace calendario
