// An in-memory file-system layer for tests: a tree of folders and files, a log of every
// operation called, and a fault table that makes any operation fail for one path or at the
// Nth call. Paths are understood by fs/WindowsPath as by the host backends: names are found
// without regard to case and keep the case they were made in.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "fs/FileSystem.h"
#include "fs/WindowsPath.h"

namespace calendario::testing {

// The layer's operations, by the names the program knows them by: the fake logs and fails
// calls by these, so a fault cannot be injected under a misspelt name.
enum class FsOperation : std::uint8_t {
  kObtain,
  kFolderExists,
  kCreateFolder,
  kFileExists,
  kCreateTextFile,
  kGetFile,
  kSize,
  kDelete,
  kOpenAsTextStream,
  kWriteLine,
  kClose,
  kLock,
  kUnlock,
};
std::string_view OperationName(FsOperation operation);

// The failure the fault table makes.
std::error_code InjectedFault();

class FakeFileSystem final : public FileSystemLayer {
 public:
  FakeFileSystem();

  // The tree. Drive C: exists from the start; AddDrive adds others.
  void AddDrive(char16_t letter);
  void AddFolder(std::u16string_view path);  // with every missing level
  void AddFile(std::u16string_view path, std::string bytes, bool readOnly = false);
  bool IsFolder(std::u16string_view path) const;
  bool IsFile(std::u16string_view path) const;
  std::string Contents(std::u16string_view path) const;  // "" when no file is there
  // Every folder and file as "D <path>" or "F <path>" with its bytes, each path in the case
  // its levels were made in ("C:\tmpCalendario"), for comparing trees.
  std::map<std::u16string, std::string> Snapshot() const;
  // The process's current drive and folder, as a Windows path ("D:\w"); outside every drive
  // (relative paths keep their own folder, ".") until set.
  void SetCurrentFolder(std::u16string_view path);

  // The fault table.
  void FailOperation(FsOperation operation, std::u16string path = {});  // every matching call
  void FailCall(int n, bool andEveryLater = false);                     // 1 = the first call
  // Injected failures of the calls chosen by FailCall throw std::bad_alloc instead, as an
  // allocation failing inside the call would (Close and Unlock, which owners call from their
  // destructors, still return the failure).
  bool failByThrowing = false;
  void ClearFaults();

  // "Operation path" for every call made, in order (UTF-8), the operation by OperationName. A
  // stream's calls carry the path its file was opened by.
  const std::vector<std::string>& Log() const { return log_; }
  int Calls() const { return calls_; }
  int OpenStreams() const { return static_cast<int>(streams_.size()); }
  int HeldLocks() const { return static_cast<int>(locks_.size()); }

  // Called at the start of every operation, before the fault table: a test can change the
  // tree there, as another process would between two calls.
  std::function<void(FsOperation operation, std::u16string_view path)> beforeCall;

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
  class Walker;
  struct Node {
    bool folder = false;
    std::u16string shown;  // the path in the case its levels were made in
    std::string bytes;
    bool readOnly = false;
    std::uint64_t id = 0;       // which file this is: a file made anew is another
    std::uint64_t version = 0;  // changes with every write
  };
  struct Key {
    std::u16string text;    // the resolved levels' keys: "c:" or "." then "\KEY" for each
    std::u16string parent;  // the key of the folder holding it
    std::u16string name;    // the last level's name as given
    std::u16string shown;   // the levels' names as given
    bool top = false;       // a drive's top or the current folder
    bool endsWithSeparator = false;
  };
  // nullopt when the path cannot exist (server share, device, refused name, missing drive).
  // `levels`, when given, receives the key of each level in turn.
  std::optional<Key> Resolve(std::u16string_view path, std::vector<Key>* levels = nullptr) const;
  const Node* Find(std::u16string_view path) const;
  Node& Make(const Key& key, bool folder);
  // Whether a folder is at the key; makes it. The host calls of the walk.
  std::error_code FindFolder(std::u16string_view path, const std::optional<Key>& key, bool& exists);
  std::error_code MakeFolder(std::u16string_view path, const std::optional<Key>& key);
  // Logs the call and applies the fault table.
  std::error_code Enter(FsOperation operation, std::u16string_view path);

  std::map<std::u16string, Node> nodes_;
  std::set<char16_t> drives_;
  CurrentFolder current_;
  std::uint64_t nextNode_ = 1;
  struct Stream {
    std::u16string key;   // the file's key
    std::u16string path;  // the path it was opened by, for the log and the fault table
  };
  std::map<StreamId, Stream> streams_;
  std::map<LockId, std::u16string> locks_;
  std::intptr_t nextId_ = 1;
  std::vector<std::string> log_;
  int calls_ = 0;
  std::vector<std::pair<FsOperation, std::u16string>> failingOperations_;
  int failingCall_ = 0;
  bool failEveryLater_ = false;
};

}  // namespace calendario::testing
