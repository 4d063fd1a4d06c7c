// POSIX only.
#include "fs/PosixFolderCache.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>

#include "fs/Text.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {

// A folder holding more names than this is read again when asked, rather than kept.
constexpr std::size_t kMaxNames = 10000;

}  // namespace

bool IsFolderOf(std::u16string_view folder, std::u16string_view key) {
  return key.substr(0, folder.size()) == folder &&
         (key.size() == folder.size() || key[folder.size()] == u'\\');
}

bool FolderNames::Read(int folder, std::u16string_view wanted, std::string_view name,
                       std::string& found) {
  names_.clear();
  found.clear();
  Fd listing(::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!listing) return false;
  bool kept = true;
  alignas(dirent64) char buffer[32768];
  for (;;) {
    const ssize_t n = ::getdents64(listing.Get(), buffer, sizeof buffer);
    if (n <= 0) {
      kept = kept && n == 0;
      break;
    }
    for (ssize_t at = 0; at < n;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const std::string_view entryName = entry->d_name;
      if (entryName == "." || entryName == "..") continue;
      std::u16string key = KeyOf(Utf8ToUtf16(entryName));
      if (key == wanted && entryName != name && (found.empty() || entryName < found)) {
        found = entryName;
      }
      if (!kept) continue;
      if (names_.size() == kMaxNames) {
        kept = false;
        names_.clear();
        continue;
      }
      names_.emplace_back(std::move(key), std::string(entryName));
    }
  }
  return kept;
}

const std::string* FolderNames::FindOther(std::u16string_view key, std::string_view name) const {
  const std::string* found = nullptr;
  for (const auto& [knownKey, known] : names_) {
    if (knownKey == key && known != name && (found == nullptr || known < *found)) found = &known;
  }
  return found;
}

void FolderNames::Add(std::u16string key, std::string name) {
  Remove(name);
  names_.emplace_back(std::move(key), std::move(name));
}

void FolderNames::Remove(std::string_view name) {
  std::erase_if(names_, [&](const auto& known) { return known.second == name; });
}

int FolderCache::Find(std::u16string_view key) const {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->key == key) return it->fd.Get();
  }
  return -1;
}

int FolderCache::FindClosest(std::u16string_view key, std::size_t& length) const {
  int fd = -1;
  length = 0;
  for (const Entry& known : entries_) {
    if (known.key.size() > length && IsFolderOf(known.key, key)) {
      fd = known.fd.Get();
      length = known.key.size();
    }
  }
  return fd;
}

int FolderCache::Remember(std::u16string_view key, Fd fd) {
  for (Entry& known : entries_) {
    if (known.key != key) continue;
    // The older handle is retired rather than closed: a short run never spends a call on it.
    Retire(std::exchange(known.fd, std::move(fd)));
    return known.fd.Get();
  }
  if (entries_.size() == kEntries) {
    Retire(std::move(entries_.front().fd));
    entries_.erase(entries_.begin());
  }
  entries_.push_back(Entry{std::u16string(key), std::move(fd)});
  return entries_.back().fd.Get();
}

Fd FolderCache::Take(std::u16string_view key) {
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->key != key) continue;
    Fd fd = std::move(it->fd);
    entries_.erase(it);
    return fd;
  }
  return Fd();
}

void FolderCache::Forget(std::u16string_view key) {
  std::erase_if(entries_, [&](Entry& known) {
    if (!IsFolderOf(key, known.key)) return false;
    Retire(std::move(known.fd));
    return true;
  });
  std::erase_if(names_, [&](const auto& known) { return IsFolderOf(key, known.first); });
}

void FolderCache::Retire(Fd fd) {
  if (!fd) return;
  if (retired_.size() == kRetired) retired_.erase(retired_.begin());
  retired_.push_back(std::move(fd));
}

FolderNames* FolderCache::Names(std::u16string_view key) {
  for (auto& [known, names] : names_) {
    if (known == key) return &names;
  }
  return nullptr;
}

FolderNames& FolderCache::KeepNames(std::u16string_view key, FolderNames names) {
  if (FolderNames* known = Names(key)) return *known = std::move(names);
  if (names_.size() == kListed) names_.erase(names_.begin());
  names_.emplace_back(std::u16string(key), std::move(names));
  return names_.back().second;
}

}  // namespace calendario
