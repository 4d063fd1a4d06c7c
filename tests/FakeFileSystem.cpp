#include "tests/FakeFileSystem.h"

#include <new>

#include "fs/Text.h"

namespace calendario::testing {
namespace {

class InjectedCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "calendario.test"; }
  std::string message(int) const override { return "injected failure"; }
};

char16_t Upper(char16_t letter) {
  return letter >= u'a' && letter <= u'z' ? static_cast<char16_t>(letter - 32) : letter;
}

}  // namespace

std::string_view OperationName(FsOperation operation) {
  switch (operation) {
    case FsOperation::kObtain:
      return "Obtain";
    case FsOperation::kFolderExists:
      return "FolderExists";
    case FsOperation::kCreateFolder:
      return "CreateFolder";
    case FsOperation::kFileExists:
      return "FileExists";
    case FsOperation::kCreateTextFile:
      return "CreateTextFile";
    case FsOperation::kGetFile:
      return "GetFile";
    case FsOperation::kSize:
      return "Size";
    case FsOperation::kDelete:
      return "Delete";
    case FsOperation::kOpenAsTextStream:
      return "OpenAsTextStream";
    case FsOperation::kWriteLine:
      return "WriteLine";
    case FsOperation::kClose:
      return "Close";
    case FsOperation::kLock:
      return "Lock";
    case FsOperation::kUnlock:
      return "Unlock";
  }
  return "?";
}

std::error_code InjectedFault() {
  static const InjectedCategory category;
  return {1, category};
}

FakeFileSystem::FakeFileSystem() {
  AddDrive(u'c');
}

void FakeFileSystem::AddDrive(char16_t letter) {
  if (letter >= u'A' && letter <= u'Z') letter = static_cast<char16_t>(letter + 32);
  drives_.insert(letter);
  nodes_[std::u16string{letter, u':'}] =
      Node{true, std::u16string{Upper(letter), u':'}, {}, false, nextNode_++, 0};
}

void FakeFileSystem::SetCurrentFolder(std::u16string_view path) {
  const ResolvedPath resolved = ResolveWindowsPath(path, CurrentFolder{});
  current_ = CurrentFolder{resolved.drive, true, resolved.levels};
}

std::optional<FakeFileSystem::Key> FakeFileSystem::Resolve(std::u16string_view path,
                                                           std::vector<Key>* levels) const {
  const ResolvedPath resolved = ResolveWindowsPath(path, current_);
  if (resolved.root == PathRoot::kServer || resolved.root == PathRoot::kDevice ||
      resolved.refused) {
    return std::nullopt;
  }
  Key key;
  if (resolved.root == PathRoot::kDrive) {
    if (!drives_.count(resolved.drive)) return std::nullopt;
    key.text = {resolved.drive, u':'};
    key.shown = {Upper(resolved.drive), u':'};
  } else {
    key.text = key.shown = u".";
  }
  key.endsWithSeparator = resolved.endsWithSeparator;
  key.top = resolved.levels.empty();
  for (std::size_t i = 0; i < resolved.levels.size(); ++i) {
    key.parent = key.text;
    key.text += u'\\';
    key.text += resolved.levels.Key(i);
    key.shown += u'\\';
    key.shown += resolved.levels.Name(i);
    key.name = resolved.levels.Name(i);
    if (levels != nullptr) levels->push_back(key);
  }
  return key;
}

const FakeFileSystem::Node* FakeFileSystem::Find(std::u16string_view path) const {
  const auto key = Resolve(path);
  if (!key) return nullptr;
  const auto it = nodes_.find(key->text);
  return it == nodes_.end() ? nullptr : &it->second;
}

FakeFileSystem::Node& FakeFileSystem::Make(const Key& key, bool folder) {
  // Shown in the case its folder was made in, and its own name as given now.
  const auto parent = nodes_.find(key.parent);
  std::u16string shown = key.shown;
  if (parent != nodes_.end()) shown = parent->second.shown + u"\\" + key.name;
  return nodes_[key.text] = Node{folder, std::move(shown), {}, false, nextNode_++, 0};
}

void FakeFileSystem::AddFolder(std::u16string_view path) {
  std::vector<Key> levels;
  const auto key = Resolve(path, &levels);
  if (!key) return;
  // The current folder is there once a folder is added below it.
  if ((levels.empty() ? key->text : levels.front().parent) == u".") {
    nodes_.try_emplace(u".", Node{true, u".", {}, false, nextNode_++, 0});
  }
  for (const Key& level : levels) {
    if (!nodes_.count(level.text)) Make(level, true);
  }
}

void FakeFileSystem::AddFile(std::u16string_view path, std::string bytes, bool readOnly) {
  auto key = Resolve(path);
  if (!key || key->top) return;
  Node& node = Make(*key, false);
  node.bytes = std::move(bytes);
  node.readOnly = readOnly;
}

bool FakeFileSystem::IsFolder(std::u16string_view path) const {
  const Node* node = Find(path);
  return node != nullptr && node->folder;
}

bool FakeFileSystem::IsFile(std::u16string_view path) const {
  const Node* node = Find(path);
  return node != nullptr && !node->folder;
}

std::string FakeFileSystem::Contents(std::u16string_view path) const {
  const Node* node = Find(path);
  return node == nullptr || node->folder ? std::string() : node->bytes;
}

std::map<std::u16string, std::string> FakeFileSystem::Snapshot() const {
  std::map<std::u16string, std::string> tree;
  for (const auto& [text, node] : nodes_) {
    tree[(node.folder ? u"D " : u"F ") + node.shown] = node.bytes;
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
    return InjectedFault();
  }
  for (const auto& [op, onPath] : failingOperations_) {
    if (op == operation && (onPath.empty() || onPath == path)) return InjectedFault();
  }
  return {};
}

std::error_code FakeFileSystem::Obtain() {
  return Enter(FsOperation::kObtain, u"");
}

// The fake's walk holds a folder by its key, and finds a name in it by the key one level
// longer: the same decision of each next level as every backend's walk, so that a test of the
// fake proves it. Its host calls log as FolderExists and CreateFolder.
class FakeFileSystem::Walker final : public FolderWalk {
 public:
  Walker(FakeFileSystem& fake, std::u16string_view path) : FolderWalk(path), fake_(fake) {}

 private:
  std::error_code FindInHeld(std::u16string_view prefix, std::u16string_view name, bool& exists,
                             bool& held) override {
    return Find(prefix, InHeld(name), exists, held);
  }
  std::error_code MakeInHeld(std::u16string_view prefix, std::u16string_view name,
                             bool& held) override {
    return Make(prefix, InHeld(name), held);
  }
  std::error_code FindLocated(std::u16string_view prefix, const ResolvedPath&, bool& exists,
                              bool& held) override {
    return Find(prefix, fake_.Resolve(prefix), exists, held);
  }
  std::error_code MakeLocated(std::u16string_view prefix, const ResolvedPath&,
                              bool& held) override {
    return Make(prefix, fake_.Resolve(prefix), held);
  }
  void DropHeld() override { held_.reset(); }
  const CurrentFolder& Current() override { return fake_.current_; }

  std::optional<Key> InHeld(std::u16string_view name) const {
    return Key{held_->text + u"\\" + KeyOf(name), held_->text, std::u16string(name), {}};
  }
  std::error_code Find(std::u16string_view prefix, const std::optional<Key>& key, bool& exists,
                       bool& held) {
    if (auto ec = fake_.Enter(FsOperation::kFolderExists, prefix)) return ec;
    const auto it = key ? fake_.nodes_.find(key->text) : fake_.nodes_.end();
    exists = held = it != fake_.nodes_.end() && it->second.folder;
    if (exists) held_ = key;
    return {};
  }
  std::error_code Make(std::u16string_view prefix, const std::optional<Key>& key, bool& held) {
    if (auto ec = fake_.Enter(FsOperation::kCreateFolder, prefix)) return ec;
    if (!key) return FsErrc::kNoSuchPath;
    if (fake_.nodes_.count(key->text)) return std::make_error_code(std::errc::file_exists);
    const auto parent = fake_.nodes_.find(key->parent);
    if (parent == fake_.nodes_.end() || !parent->second.folder) return FsErrc::kNoSuchPath;
    fake_.Make(*key, true);
    held_ = key;
    held = true;
    return {};
  }

  FakeFileSystem& fake_;
  std::optional<Key> held_;
};

std::unique_ptr<FolderWalk> FakeFileSystem::Walk(std::u16string_view path) {
  return std::make_unique<Walker>(*this, path);
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
  if (it == nodes_.end()) {
    Make(*key, false);
  } else {
    it->second.bytes.clear();
    ++it->second.version;
  }
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

std::error_code FakeFileSystem::Size(std::u16string_view path, FileMeasure& measured) {
  if (auto ec = Enter(FsOperation::kSize, path)) return ec;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator || !IsFile(path)) return FsErrc::kNoSuchPath;
  const Node& node = nodes_.at(key->text);
  measured.bytes = node.bytes.size();
  measured.identity = {node.id, node.version, 0, 0};
  return {};
}

std::error_code FakeFileSystem::Delete(std::u16string_view path, bool force,
                                       const FileMeasure* measured) {
  if (auto ec = Enter(FsOperation::kDelete, path)) return ec;
  const auto key = Resolve(path);
  if (!key || key->endsWithSeparator || !IsFile(path)) return FsErrc::kNoSuchPath;
  const Node& node = nodes_.at(key->text);
  if (measured != nullptr &&
      (measured->bytes != node.bytes.size() || measured->identity[0] != node.id ||
       measured->identity[1] != node.version)) {
    return FsErrc::kChanged;
  }
  if (node.readOnly && !force) return std::make_error_code(std::errc::permission_denied);
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
  ++node->second.version;
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
