// A walk: the path CreateFolderPath makes to exist, level by level, each prefix in turn handed
// to FolderExists and CreateFolder. How each next level is reached is decided here, once, for
// every backend and the tests' fake; a backend gives only its host calls.
//
// The walk holds the folder that the prefix it has reached names, when that prefix, read as
// the folder part of a longer path, names that folder. The next prefix is then the held one, a
// separator and one level's text, and that text alone says where it leads:
//   - a name: one name more inside the held folder, opened or made there at the cost of that
//     name alone, so that a deep root costs each level its own name only;
//   - nothing ("", or what trims to nothing): the held folder itself, with no host call;
//   - "." or "..": located in full, since "." makes the level before it the path's last one,
//     trimmed as such, and ".." climbs; so is any prefix when nothing is held.
// The walk keeps its own copy of the path, and the prefixes must be views of that copy
// (Text()), so that a prefix is known in constant time to be the previous one plus a level.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <system_error>

#include "fs/WindowsPath.h"

namespace calendario {

class FolderWalk {
 public:
  virtual ~FolderWalk() = default;
  FolderWalk(const FolderWalk&) = delete;
  FolderWalk& operator=(const FolderWalk&) = delete;

  // The walk's own copy of the path: its prefixes are views of this.
  std::u16string_view Text() const { return text_; }
  // The layer's operations of the same names, on a prefix of Text(). FolderExists fails only
  // when the question cannot be put; CreateFolder fails when the folder is there already, its
  // parent is missing, or it cannot be made.
  std::error_code FolderExists(std::u16string_view prefix, bool& exists);
  std::error_code CreateFolder(std::u16string_view prefix);

 protected:
  // Copies the path; may throw std::bad_alloc.
  explicit FolderWalk(std::u16string_view path) : text_(path) {}

  // The host calls. `prefix` is the prefix being reached, for a backend to name in what it
  // logs. A call that reaches a folder (exists, or made) says in `held` whether the walk now
  // holds it; when not, it holds nothing. A call that finds nothing or fails leaves the hold as
  // it was.
  //
  // One name more in the held folder: `name` is final (trimmed as the resolver trims it) and
  // one that RefusesName lets through. exists = a folder is there.
  virtual std::error_code FindInHeld(std::u16string_view prefix, std::u16string_view name,
                                     bool& exists, bool& held) = 0;
  virtual std::error_code MakeInHeld(std::u16string_view prefix, std::u16string_view name,
                                     bool& held) = 0;
  // The prefix located in full, nothing being held: `resolved` is what it means as it stands.
  // A backend may hold nothing for what it reached (a path off every drive). FindLocated
  // answers exists = false for a path that cannot exist.
  virtual std::error_code FindLocated(std::u16string_view prefix, const ResolvedPath& resolved,
                                      bool& exists, bool& held) = 0;
  virtual std::error_code MakeLocated(std::u16string_view prefix, const ResolvedPath& resolved,
                                      bool& held) = 0;
  // Lets go of the held folder.
  virtual void DropHeld() = 0;
  // The process's current drive and folder, as the backend knows them.
  virtual const CurrentFolder& Current() = 0;

 private:
  // How the next prefix is reached from the held one: `level` is its last text read as the
  // path's last level; `staysHeld` when read as a folder part it names the same.
  struct Next {
    ResolvedLevel level{LevelKind::kSelf, {}};
    bool staysHeld = false;
  };
  bool ExtendsHeld(std::u16string_view prefix, Next& next) const;
  // After the prefix was reached in the held folder; `held` as the host call said.
  void Reached(std::u16string_view prefix, const Next& next, bool held);
  // Locates the prefix in full; `make` to make it. What it holds afterwards is held for the
  // next level only when the prefix, read as a folder part, names the same folder.
  std::error_code Locate(std::u16string_view prefix, bool make, bool& exists);

  std::u16string text_;
  std::size_t at_ = 0;  // the length of the prefix the held folder names
  bool held_ = false;   // a folder is held, and a next level is found in it
};

}  // namespace calendario
