#include "fs/PosixFolderCache.h"

#include "fs/WindowsPath.h"

namespace calendario {
namespace {

// True when `text` is `folder`, a separator, and one plain level after it.
bool OneLevelBelow(std::u16string_view folder, std::u16string_view text) {
  const std::size_t n = folder.size();
  if (text.size() <= n + 1 || !IsSeparator(text[n])) return false;
  const std::u16string_view level = text.substr(n + 1);
  for (char16_t c : level) {
    if (IsSeparator(c)) return false;
  }
  return IsPlainName(level) && text.substr(0, n) == folder;
}

}  // namespace

int FolderCache::Find(std::u16string_view text) const {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->text == text) return it->fd.Get();
  }
  return -1;
}

int FolderCache::FindParent(std::u16string_view text, std::size_t& levelStart) const {
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (OneLevelBelow(it->text, text)) {
      levelStart = it->text.size() + 1;
      return it->fd.Get();
    }
  }
  return -1;
}

int FolderCache::Remember(std::u16string_view text, Fd fd) {
  for (Entry& known : entries_) {
    if (known.text != text) continue;
    // The older handle is retired rather than closed: a short run never spends a call on it.
    if (known.pins == 0) Retire(std::exchange(known.fd, std::move(fd)));
    return known.fd.Get();
  }
  if (entries_.size() == kEntries) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
      if (it->pins == 0) {
        entries_.erase(it);
        break;
      }
    }
  }
  entries_.push_back(Entry{std::u16string(text), std::move(fd), 0});
  return entries_.back().fd.Get();
}

void FolderCache::Forget(std::u16string_view text) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    const std::u16string_view known = it->text;
    const bool below = known.size() > text.size() && IsSeparator(known[text.size()]) &&
                       known.substr(0, text.size()) == text;
    if ((known == text || below) && it->pins == 0) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
}

void FolderCache::Retire(Fd fd) {
  if (!fd) return;
  if (retired_.size() == kRetired) retired_.erase(retired_.begin());
  retired_.push_back(std::move(fd));
}

bool FolderCache::Pin(int fd) {
  for (Entry& known : entries_) {
    if (known.fd.Get() == fd) {
      ++known.pins;
      return true;
    }
  }
  return false;
}

void FolderCache::Unpin(int fd) {
  for (Entry& known : entries_) {
    if (known.fd.Get() == fd && known.pins > 0) --known.pins;
  }
}

}  // namespace calendario
