// The file-system layer: the ten operations the program uses, over Windows paths held as
// UTF-16 text. A backend per platform implements FileSystemLayer; the program reaches it only
// through the three handles below (an instance of the component, a file object, a text
// stream), which hold what the component would hand out.
//
// Every operation can fail, and every failure is a std::error_code returned by the call: an
// empty code is success, and an output argument is defined only on success. An operation on a
// handle that was never obtained fails with FsErrc::kNotObtained without reaching a backend.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

namespace calendario {

enum class FsErrc {
  kNotObtained = 1,  // the instance, file object or stream was never obtained (or is closed)
  kNoSuchPath,       // nothing of the needed kind is there, or the path cannot exist
  kInvalidName,      // a level holds a name Windows refuses
  kNotAFile,         // a folder, a drive's top or a path ending in a separator given as a file
  kUnsupported,      // arguments the layer does not offer (only those the program uses are)
  kPartialWrite,     // the host took part of a line; the file was cut back to its old length
  kUnavailable,      // no instance of the component can be had
  kInjected,         // a failure made on purpose by a test fake
};

const std::error_category& FsCategory();
inline std::error_code make_error_code(FsErrc e) {
  return {static_cast<int>(e), FsCategory()};
}

}  // namespace calendario

template <>
struct std::is_error_code_enum<calendario::FsErrc> : std::true_type {};

namespace calendario {

// What a backend uses to name an open stream.
using StreamId = std::intptr_t;

// Values of OpenAsTextStream's arguments.
inline constexpr int kForAppending = 8;
inline constexpr int kTristateFalse = 0;  // 8-bit text in the ANSI code page

// A backend: the component's operations, each taking what its object would hold. Paths are
// Windows paths; a backend maps them onto the host.
class FileSystemLayer {
 public:
  virtual ~FileSystemLayer() = default;

  // Succeeds when an instance of the component can be had.
  virtual std::error_code Obtain() = 0;
  // exists = a folder is there. Fails only when the question cannot be put.
  virtual std::error_code FolderExists(std::u16string_view path, bool& exists) = 0;
  // Creates that one folder; fails when it exists, its parent is missing or it cannot be made.
  virtual std::error_code CreateFolder(std::u16string_view path) = 0;
  // exists = a file (not a folder) is there.
  virtual std::error_code FileExists(std::u16string_view path, bool& exists) = 0;
  // Creates the file empty (no byte-order mark) and opens a stream on it. With overwrite
  // false it fails when anything is there already; unicode true is not offered.
  virtual std::error_code CreateTextFile(std::u16string_view path, bool overwrite, bool unicode,
                                         StreamId& stream) = 0;
  // Succeeds when a file is there, so that a file object can stand for it.
  virtual std::error_code GetFile(std::u16string_view path) = 0;
  virtual std::error_code Size(std::u16string_view path, std::uint64_t& bytes) = 0;
  // Deletes the file; with force true also when it is read-only.
  virtual std::error_code Delete(std::u16string_view path, bool force) = 0;
  // Opens the existing file for appending 8-bit text (kForAppending, kTristateFalse only).
  virtual std::error_code OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                           StreamId& stream) = 0;
  // Writes the text and CR LF in one piece. On failure the file is as it was before the call.
  virtual std::error_code WriteLine(StreamId stream, std::u16string_view text) = 0;
  // Closes the stream and its file; the id is gone afterwards, whatever the result.
  virtual std::error_code Close(StreamId stream) = 0;

  // Holds off the other processes that lock the same file (there or not yet), waiting a short
  // while at most; fails when the lock cannot be had in time or the host cannot lock there.
  // Advisory: only those who lock are held off.
  virtual std::error_code Lock(std::u16string_view path, StreamId& lock) = 0;
  virtual std::error_code Unlock(StreamId lock) = 0;
};

// How long Lock waits for another process to let go.
inline constexpr int kLockWaitMilliseconds = 250;

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
  [[nodiscard]] std::error_code Close();

 private:
  friend class FileSystemObject;
  friend class File;
  void Release() noexcept;

  FileSystemLayer* layer_ = nullptr;
  StreamId id_ = 0;
};

// A lock taken by FileSystemObject::Lock; releasing it unlocks.
class FileLock {
 public:
  FileLock() = default;
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock();

 private:
  friend class FileSystemObject;
  FileSystemLayer* layer_ = nullptr;
  StreamId id_ = 0;
};

// A file object: stands for the file at one path, and stays usable after the instance that
// handed it out is released.
class File {
 public:
  File() = default;
  bool Obtained() const { return layer_ != nullptr; }

  [[nodiscard]] std::error_code Size(std::uint64_t& bytes) const;
  [[nodiscard]] std::error_code Delete(bool force) const;
  [[nodiscard]] std::error_code OpenAsTextStream(int iomode, int format, TextStream& out) const;

 private:
  friend class FileSystemObject;
  FileSystemLayer* layer_ = nullptr;
  std::u16string path_;
};

// An instance of the file-system component.
class FileSystemObject {
 public:
  [[nodiscard]] std::error_code Obtain(FileSystemLayer& layer);

  [[nodiscard]] std::error_code FolderExists(std::u16string_view path, bool& exists) const;
  [[nodiscard]] std::error_code CreateFolder(std::u16string_view path) const;
  [[nodiscard]] std::error_code FileExists(std::u16string_view path, bool& exists) const;
  [[nodiscard]] std::error_code CreateTextFile(std::u16string_view path, bool overwrite,
                                               bool unicode, TextStream& out) const;
  [[nodiscard]] std::error_code GetFile(std::u16string_view path, File& out) const;
  [[nodiscard]] std::error_code Lock(std::u16string_view path, FileLock& out) const;

 private:
  FileSystemLayer* layer_ = nullptr;
};

}  // namespace calendario
