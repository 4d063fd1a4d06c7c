// The POSIX backend of the file-system layer: Windows paths mapped onto host folders.
//
//   X:\a\b   -> <drives>/x/a/b (see PosixDrives)
//   \a       -> the top of the current drive
//   X:a, a\b -> from the current folder, when it lies inside a drive's host folder, as Windows
//               would read them from that drive and folder; otherwise as the host means them
//   \\srv\x  -> nothing: no server share or device exists or can be made
//
// What a path means is fs/WindowsPath's to say; PosixPaths carries it out on folder handles.
// Files are opened without following a link at the last level, and appended to with O_APPEND,
// one write a line (PosixAppend), in the file's turn (PosixTurns), which Lock takes too: a
// stream opened on a file whose turn Lock holds appends through the descriptor that holds it.
#pragma once

#include <sys/stat.h>

#include <string>

#include "fs/FileSystem.h"
#include "fs/IdTable.h"
#include "fs/PosixAppend.h"
#include "fs/PosixDrives.h"
#include "fs/PosixPaths.h"
#include "fs/PosixTurns.h"

namespace calendario {

class PosixFileSystem final : public FileSystemLayer {
 public:
  // drivesFolder: the host folder holding one folder per drive letter (see PosixDrives); with
  // an empty text no instance can be had. Turns at files are waited for until `turnsUntil`.
  explicit PosixFileSystem(std::string drivesFolder,
                           PosixTurns::Clock::time_point turnsUntil = PosixTurns::Clock::now() +
                                                                      std::chrono::seconds(10))
      : drives_(std::move(drivesFolder)), paths_(drives_), turns_(turnsUntil) {}

  std::error_code Obtain() override;
  std::error_code FileExists(std::u16string_view path, bool& exists) override;
  std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                 StreamId& stream) override;
  std::error_code GetFile(std::u16string_view path) override;
  std::error_code Size(std::u16string_view path, FileMeasure& measured) override;
  std::error_code Delete(std::u16string_view path, bool force,
                         const FileMeasure* measured) override;
  std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                   StreamId& stream) override;
  std::error_code WriteLine(StreamId stream, std::u16string_view text) override;
  std::error_code Close(StreamId stream) override;
  std::error_code Lock(std::u16string_view path, LockId& lock) override;
  std::error_code Unlock(LockId lock) override;
  std::unique_ptr<FolderWalk> Walk(std::u16string_view path) override;

 private:
  // FileExists, GetFile and Size on one file, one straight after the other (as OpenFileObject
  // makes them), ask the host once, and so does OpenAsTextStream after them when the file's
  // turn was held all along; Lock leaves what it found of the file for them. Every other call
  // drops the answer: it is kept here and nowhere else. What FileExists found may be what the
  // host had at hand (on a network share, attributes it did not ask the server for again):
  // enough to tell that a file is there and what it is, not its length.
  class StatMemo {
   public:
    // What was found of the path; with `current`, only when the host was asked afresh.
    const struct stat* Find(std::u16string_view path, bool current = true) const {
      return valid_ && path_ == path && (current_ || !current) ? &stat_ : nullptr;
    }
    void Keep(std::u16string_view path, const struct stat& st, bool current = true) {
      path_.assign(path);
      stat_ = st;
      current_ = current;
      valid_ = true;
    }
    void Drop() { valid_ = false; }

   private:
    std::u16string path_;
    struct stat stat_ {};
    bool current_ = false;
    bool valid_ = false;
  };

  // Locates the path for an operation that is not one of the memo's chain.
  std::error_code Reach(std::u16string_view path, PosixPlace& place);
  // What the file at the path is; with `current`, as the host has it now (its length too).
  std::error_code StatFile(std::u16string_view path, struct stat& st, bool current);
  // What the call before this one found of the file at a path, if it asked.
  struct KnownFile {
    struct stat st {};     // what it found; all zero when it did not ask
    bool current = false;  // the host was asked afresh: `st` holds the file's length too
    PosixTurn held;        // the turn at that file, owned once more, when this process holds it
  };
  // Reaches the path's place, and what is known of the file there.
  std::error_code ReachHeld(std::u16string_view path, PosixPlace& place, KnownFile& known);
  // Opens the file at `place` for appending, reading too where the host lets it.
  std::error_code OpenForAppending(PosixPlace& place, int extraFlags, Fd& file, bool& readable);
  // Whether the file `st` describes is still the one at the place (deleted and made anew, or
  // moved aside, it is not).
  bool StillAtPlace(PosixPlace& place, const struct stat& st);
  // A file with more than one name is written only where the link cannot have been planted
  // by someone else to carry the line into a file not theirs: a user writes through links to
  // a file of their own (a snapshot, a deduplicator), root only where the file's owner also
  // owns the folder it lies in.
  static bool MayWriteThrough(const PosixPlace& place, const struct stat& st);
  // Delete's parts: a name of the run's own for the file at the place, moving it back to the
  // place without replacing what is there, and what earlier runs left under such names.
  static std::error_code AwayName(const std::string& name, std::string& away);
  static void PutBack(PosixPlace& place, const std::string& away);
  static void RemoveLeftovers(const PosixPlace& place);
  // Opens a stream appending through the turn, on a file found as `st`.
  std::error_code Stream(PosixTurn turn, const struct stat& st, StreamId& stream);

  PosixDrives drives_;
  PosixPaths paths_;
  PosixTurns turns_;
  StatMemo memo_;
  IdTable<StreamId, PosixStream> streams_;
  IdTable<LockId, PosixTurn> locks_;
};

}  // namespace calendario
