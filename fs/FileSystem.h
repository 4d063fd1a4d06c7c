// The file-system layer: what the program asks of the file system, over Windows paths held as
// UTF-16 text. The operations keep the names, arguments and results of the Windows scripting
// component the program was written against (FolderExists, CreateTextFile, OpenAsTextStream,
// ...), so that a run means the same on every host. A backend per platform implements
// FileSystemLayer; the helpers reach open files and locks through the owners below (File,
// TextStream, FileLock), which close or unlock on every path.
//
// Every operation can fail, and every failure is a std::error_code returned by the call: an
// empty code is success, and an output argument is defined only on success.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>

#include "fs/FolderWalk.h"

namespace calendario {

enum class FsErrc {
  kNotObtained = 1,  // the file object or stream was never obtained (or is closed)
  kNoSuchPath,       // nothing of the needed kind is there, or the path cannot exist
  kInvalidName,      // a level holds a name Windows refuses
  kNotAFile,         // a folder, a drive's top or a path ending in a separator given as a file
  kUnsupported,      // arguments the layer does not offer (only those the program uses are)
  kPartialWrite,     // the host took part of a line; it was taken out again unless another
                     // writer's bytes follow it, or the host refused
  kLinked,           // the file has more than one name (a hard link): it is not written
  kChanged,          // the file is no longer the one measured: it is not deleted
  kUnavailable,      // no instance of the file-system component can be had
};

const std::error_category& FsCategory();
inline std::error_code make_error_code(FsErrc e) {
  return {static_cast<int>(e), FsCategory()};
}

}  // namespace calendario

template <>
struct std::is_error_code_enum<calendario::FsErrc> : std::true_type {};

namespace calendario {

// What a backend names an open stream and a held lock by. Two types, so that neither can be
// handed where the other belongs.
enum class StreamId : std::intptr_t {};
enum class LockId : std::intptr_t {};

// The one combination of OpenAsTextStream's arguments the program uses: append (8) 8-bit text
// in the ANSI code page (0, "TristateFalse").
inline constexpr int kForAppending = 8;
inline constexpr int kTristateFalse = 0;

// What Size measured of a file: its length, and which file it was, as the host tells files
// apart (a device and inode number with the change time; a volume and file id). Handed to
// Delete, so that only the file measured goes, unchanged.
struct FileMeasure {
  std::uint64_t bytes = 0;
  std::array<std::uint64_t, 4> identity{};
};

// What lets a run begin a step that makes something (a folder level, a file, a report line, a
// deletion): a run whose watcher has given up on it begins none, so that its status and what
// it left agree. Begin says whether the step may begin and, when it does, claims it until End;
// the step in flight is finished whole.
class FileSystemLayer;

class StepGate {
 public:
  virtual ~StepGate() = default;
  virtual bool Begin() = 0;
  virtual void End() = 0;
};

// A step claimed from the layer's gate (see FileSystemLayer::BeginStep); it ends with its owner.
// Claims nest: only the outermost one asks the gate.
class Step {
 public:
  Step(const Step&) = delete;
  Step& operator=(const Step&) = delete;
  ~Step();
  explicit operator bool() const { return claimed_; }

 private:
  friend class FileSystemLayer;
  Step(FileSystemLayer& layer, bool claimed) : layer_(layer), claimed_(claimed) {}
  FileSystemLayer& layer_;
  bool claimed_;
};

// A backend: the operations, each taking what the component's object would hold. Paths are
// Windows paths, understood as fs/WindowsPath says; a backend maps them onto the host.
class FileSystemLayer {
 public:
  virtual ~FileSystemLayer() = default;

  // Succeeds when an instance of the component can be had.
  virtual std::error_code Obtain() = 0;
  // exists = a folder is there. Fails only when the question cannot be put. A walk of the one
  // path, as every folder operation is.
  std::error_code FolderExists(std::u16string_view path, bool& exists);
  // Creates that one folder; fails when it exists, its parent is missing or it cannot be made.
  std::error_code CreateFolder(std::u16string_view path);
  // exists = a file (not a folder) is there.
  virtual std::error_code FileExists(std::u16string_view path, bool& exists) = 0;
  // Creates the file empty (no byte-order mark) and opens a stream on it. With overwrite
  // false it fails when anything is there already; unicode true is not offered.
  virtual std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                         StreamId& stream) = 0;
  // Succeeds when a file is there, so that a file object can stand for it.
  virtual std::error_code GetFile(std::u16string_view path) = 0;
  // The file's length and identity.
  virtual std::error_code Size(std::u16string_view path, FileMeasure& measured) = 0;
  // Deletes the file; with force true also when it is read-only. With `measured`, a file that
  // is no longer the one measured (another file by now, or the same one grown or changed) is
  // left alone and the call fails with kChanged.
  virtual std::error_code Delete(std::u16string_view path, bool force,
                                 const FileMeasure* measured) = 0;
  // Opens the existing file for appending 8-bit text (kForAppending, kTristateFalse only). A
  // file with more than one name is refused with kLinked. The stream holds the turn at the
  // file (see Lock), taken here or already held by this process, until it is closed.
  virtual std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                           StreamId& stream) = 0;
  // Writes the text and CR LF in one piece, after a CR LF of its own when the file did not end
  // in a line end (what a line cut short left), so no line is glued to a fragment. When the
  // host takes part of the line, the part is taken out again while nothing follows it.
  virtual std::error_code WriteLine(StreamId stream, std::u16string_view text) = 0;
  // Closes the stream and its file; the id is gone afterwards, whatever the result.
  virtual std::error_code Close(StreamId stream) = 0;

  // Takes the turn at the file (there or not yet, and under any spelling): other processes'
  // streams on it and their Locks of it wait until it is released. Waits within the run's
  // bound at most, as the backend was told; fails when the turn cannot be had in time or the
  // host cannot give one there. Only those who may write the file can hold its turn.
  virtual std::error_code Lock(std::u16string_view path, LockId& lock) = 0;
  virtual std::error_code Unlock(LockId lock) = 0;

  // A walk down `path` (fs/FolderWalk.h): the backend's host calls under the one decision of
  // each next level. May throw std::bad_alloc.
  virtual std::unique_ptr<FolderWalk> Walk(std::u16string_view path) = 0;

  // Steps that make something are begun through the gate, when one is set (run control sets
  // it; without one every step may begin). The helpers claim one before each such step; a
  // claim that is refused is a failed step.
  void SetStepGate(StepGate* gate) { gate_ = gate; }
  [[nodiscard]] Step BeginStep();

 private:
  friend class Step;
  StepGate* gate_ = nullptr;
  int claims_ = 0;  // steps claimed and not yet ended, nested
};

// A text stream. Moving it hands the open stream on; releasing an open stream closes it.
class TextStream {
 public:
  TextStream() = default;
  TextStream(const TextStream&) = delete;
  TextStream& operator=(const TextStream&) = delete;
  TextStream(TextStream&& other) noexcept { *this = std::move(other); }
  TextStream& operator=(TextStream&& other) noexcept;
  ~TextStream();

  [[nodiscard]] std::error_code WriteLine(std::u16string_view text);
  // Closes the stream; afterwards it holds nothing, whatever the result.
  [[nodiscard]] std::error_code Close();

 private:
  friend std::error_code CreateTextFile(FileSystemLayer&, std::u16string_view, bool, bool,
                                        TextStream&);
  friend class File;
  TextStream(FileSystemLayer& layer, StreamId id) : layer_(&layer), id_(id) {}

  FileSystemLayer* layer_ = nullptr;
  StreamId id_{};
};

// A held lock; releasing it unlocks.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();
  bool Held() const { return layer_ != nullptr; }

 private:
  friend std::error_code Lock(FileSystemLayer&, std::u16string_view, FileLock&);
  FileSystemLayer* layer_ = nullptr;
  LockId id_{};
};

// A file object: stands for the file at one path. A default one was never obtained, and its
// operations fail with kNotObtained without reaching a backend.
class File {
 public:
  File() = default;

  [[nodiscard]] std::error_code Size(FileMeasure& measured) const;
  // Deletes the file; with `measured`, only while it is still the file Size measured.
  [[nodiscard]] std::error_code Delete(bool force, const FileMeasure* measured = nullptr) const;
  [[nodiscard]] std::error_code OpenAsTextStream(int iomode, int format, TextStream& out) const;

 private:
  friend std::error_code GetFile(FileSystemLayer&, std::u16string_view, File&);
  FileSystemLayer* layer_ = nullptr;
  std::u16string path_;
};

// The operations that hand out an owner: each calls the layer's operation of the same name
// and, on success, hands what it returned to `out`. May throw std::bad_alloc (GetFile copies
// the path).
[[nodiscard]] std::error_code CreateTextFile(FileSystemLayer& layer, std::u16string_view path,
                                             bool overwrite, bool unicode, TextStream& out);
[[nodiscard]] std::error_code GetFile(FileSystemLayer& layer, std::u16string_view path, File& out);
// One lock an owner: a FileLock already held is refused with kUnsupported.
[[nodiscard]] std::error_code Lock(FileSystemLayer& layer, std::u16string_view path, FileLock& out);

}  // namespace calendario
