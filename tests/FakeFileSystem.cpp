#include "tests/FakeFileSystem.h"

#include <new>

#include "fs/Text.h"
#include "fs/WindowsPath.h"

namespace calendario::testing {

FakeFileSystem::FakeFileSystem() {
  AddDrive(u'c');
}

void FakeFileSystem::AddDrive(char16_t letter) {
  if (letter >= u'A' && letter <= u'Z') letter = static_cast<char16_t>(letter + 32);
  drives_.insert(letter);
  nodes_[std::u16string(1, letter) + u":"] = Node{true, {}, false};
}

std::optional<FakeFileSystem::Key> FakeFileSystem::Resolve(std::u16string_view path) const {
  const WindowsPath parsed = ParseWindowsPath(path);
  if (parsed.root == PathRoot::kServer || !parsed.validNames) return std::nullopt;
  Key key;
  if (parsed.root == PathRoot::kDrive) {
    if (!drives_.count(parsed.drive)) return std::nullopt;
    key.text = std::u16string(1, parsed.drive) + u":";
  } else {
    key.text = u".";
  }
  key.endsWithSeparator = parsed.endsWithSeparator;
  key.top = parsed.levels.empty();
  for (const auto& level : parsed.levels) {
    key.parent = key.text;
    key.text += u"\\" + level;
  }
  return key;
}

void FakeFileSystem::AddFolder(std::u16string_view path) {
  auto key = Resolve(path);
  if (!key) return;
  std::u16string text = key->text;
  nodes_[u"."] = Node{true, {}, false};
  while (true) {
    nodes_[text] = Node{true, {}, false};
    const auto cut = text.rfind(u'\\');
    if (cut == std::u16string::npos) break;
    text.resize(cut);
  }
}

void FakeFileSystem::AddFile(std::u16string_view path, std::string bytes, bool readOnly) {
  auto key = Resolve(path);
  if (!key) return;
  nodes_[key->text] = Node{false, std::move(bytes), readOnly};
}

bool FakeFileSystem::IsFolder(std::u16string_view path) const {
  auto key = Resolve(path);
  if (!key) return false;
  auto it = nodes_.find(key->text);
  return it != nodes_.end() && it->second.folder;
}

bool FakeFileSystem::IsFile(std::u16string_view path) const {
  auto key = Resolve(path);
  if (!key) return false;
  auto it = nodes_.find(key->text);
  return it != nodes_.end() && !it->second.folder;
}

std::string FakeFileSystem::Contents(std::u16string_view path) const {
  auto key = Resolve(path);
  if (!key) return {};
  auto it = nodes_.find(key->text);
  return it == nodes_.end() ? std::string() : it->second.bytes;
}

std::map<std::u16string, std::string> FakeFileSystem::Snapshot() const {
  std::map<std::u16string, std::string> tree;
  for (const auto& [text, node] : nodes_) {
    tree[(node.folder ? u"D " : u"F ") + text] = node.bytes;
  }
  return tree;
}

void FakeFileSystem::FailOperation(FsOperation operation, std::u16string path) {
  failingOperations_.emplace_back(operation, std::move(path));
}

void FakeFileSystem::FailCall(int n, bool andEveryLater) {
  failingCall_ = n;
  failEveryLater_ = andEveryLater;
}

void FakeFileSystem::ClearFaults() {
  failingOperations_.clear();
  failingCall_ = 0;
}

std::error_code FakeFileSystem::Enter(FsOperation operation, std::u16string_view path) {
  ++calls_;
  if (beforeCall) beforeCall(operation, path);
  log_.push_back(std::string(OperationName(operation)) + " " + Utf16ToUtf8(path));
  if (failingCall_ > 0 && (calls_ == failingCall_ || (failEveryLater_ && calls_ > failingCall_))) {
    const bool releasing = operation == FsOperation::kClose || operation == FsOperation::kUnlock;
    if (failByThrowing && !releasing) throw std::bad_alloc();
    return FsErrc::kInjected;
  }
  for (const auto& [op, onPath] : failingOperations_) {
    if (op == operation && (onPath.empty() || onPath == path)) return FsErrc::kInjected;
  }
  return {};
}

std::error_code FakeFileSystem::Obtain() {
  return Enter(FsOperation::kObtain, u"");
}

std::error_code FakeFileSystem::FolderExists(std::u16string_view path, bool& exists,
                                             FolderWalk* /*walk*/) {
  if (auto ec = Enter(FsOperation::kFolderExists, path)) return ec;
  exists = IsFolder(path);
  return {};
}

std::error_code FakeFileSystem::CreateFolder(std::u16string_view path, FolderWalk* /*walk*/) {
  if (auto ec = Enter(FsOperation::kCreateFolder, path)) return ec;
  const auto key = Resolve(path);
  if (!key) return FsErrc::kNoSuchPath;
  if (nodes_.count(key->text)) return std::make_error_code(std::errc::file_exists);
  auto parent = nodes_.find(key->parent);
  if (parent == nodes_.end() || !parent->second.folder) return FsErrc::kNoSuchPath;
  nodes_[key->text] = Node{true, {}, false};
  return {};
}

std::error_code FakeFileSystem::FileExists(std::u16string_view path, bool& exists) {
  if (auto ec = Enter(FsOperation::kFileExists, path)) return ec;
  const auto key = Resolve(path);
  exists = key && !key->endsWithSeparator && IsFile(path);
  return {};
}

std::error_code FakeFileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                               bool unicode, StreamId& stream) {
  if (auto ec = Enter(FsOperation::kCreateTextFile, path)) return ec;
  if (unicode) return FsErrc::kUnsupported;
  const auto key = Resolve(path);
  if (!key) return FsErrc::kNoSuchPath;
  if (key->top || key->endsWithSeparator) return FsErrc::kNotAFile;
  auto it = nodes_.find(key->text);
  if (it != nodes_.end() && (!overwrite || it->second.folder)) {
    return std::make_error_code(std::errc::file_exists);
  }
  auto parent = nodes_.find(key->parent);
  if (parent == nodes_.end() || !parent->second.folder) return FsErrc::kNoSuchPath;
  nodes_[key->text] = Node{false, {}, false};
  stream = StreamId{nextId_++};
  streams_[stream] = Stream{key->text, std::u16string(path)};
  return {};
}

std::error_code FakeFileSystem::GetFile(std::u16string_view path) {
  if (auto ec = Enter(FsOperation::kGetFile, path)) return ec;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator || !IsFile(path)) return FsErrc::kNoSuchPath;
  return {};
}

std::error_code FakeFileSystem::Size(std::u16string_view path, std::uint64_t& bytes) {
  if (auto ec = Enter(FsOperation::kSize, path)) return ec;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator || !IsFile(path)) return FsErrc::kNoSuchPath;
  bytes = nodes_.at(key->text).bytes.size();
  return {};
}

std::error_code FakeFileSystem::Delete(std::u16string_view path, bool force) {
  if (auto ec = Enter(FsOperation::kDelete, path)) return ec;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator || !IsFile(path)) return FsErrc::kNoSuchPath;
  if (nodes_.at(key->text).readOnly && !force) {
    return std::make_error_code(std::errc::permission_denied);
  }
  nodes_.erase(key->text);
  return {};
}

std::error_code FakeFileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                 StreamId& stream) {
  if (auto ec = Enter(FsOperation::kOpenAsTextStream, path)) return ec;
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator || !IsFile(path)) return FsErrc::kNoSuchPath;
  stream = StreamId{nextId_++};
  streams_[stream] = Stream{key->text, std::u16string(path)};
  return {};
}

std::error_code FakeFileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  auto it = streams_.find(stream);
  if (auto ec = Enter(FsOperation::kWriteLine, it == streams_.end() ? u"" : it->second.path))
    return ec;
  if (it == streams_.end()) return FsErrc::kNotObtained;
  auto node = nodes_.find(it->second.key);
  if (node == nodes_.end() || node->second.folder) return FsErrc::kNoSuchPath;
  std::string& bytes = node->second.bytes;
  if (!bytes.empty() && bytes.back() != '\n') bytes += "\r\n";  // never glued to a fragment
  bytes += Utf16ToWindows1252(text) + "\r\n";
  return {};
}

std::error_code FakeFileSystem::Close(StreamId stream) {
  auto it = streams_.find(stream);
  const bool known = it != streams_.end();
  const std::u16string path = known ? it->second.path : u"";
  if (known) streams_.erase(it);  // gone whatever the result, as on a host
  if (auto ec = Enter(FsOperation::kClose, path)) return ec;
  if (!known) return FsErrc::kNotObtained;
  return {};
}

std::error_code FakeFileSystem::Lock(std::u16string_view path, LockId& lock) {
  if (auto ec = Enter(FsOperation::kLock, path)) return ec;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator) return FsErrc::kNoSuchPath;
  lock = LockId{nextId_++};
  locks_[lock] = std::u16string(path);
  return {};
}

std::error_code FakeFileSystem::Unlock(LockId lock) {
  auto it = locks_.find(lock);
  const bool known = it != locks_.end();
  const std::u16string path = known ? it->second : u"";
  if (known) locks_.erase(it);
  if (auto ec = Enter(FsOperation::kUnlock, path)) return ec;
  if (!known) return FsErrc::kNotObtained;
  return {};
}

}  // namespace calendario::testing
