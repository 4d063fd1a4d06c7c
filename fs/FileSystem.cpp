#include "fs/FileSystem.h"

#include <utility>

namespace calendario {
namespace {

class FsErrorCategory final : public std::error_category {
 public:
  const char* name() const noexcept override { return "calendario.fs"; }
  std::string message(int value) const override {
    switch (static_cast<FsErrc>(value)) {
      case FsErrc::kNotObtained:
        return "object never obtained";
      case FsErrc::kNoSuchPath:
        return "no such folder or file";
      case FsErrc::kInvalidName:
        return "name not allowed";
      case FsErrc::kNotAFile:
        return "not a file";
      case FsErrc::kUnsupported:
        return "not supported";
      case FsErrc::kPartialWrite:
        return "line only partly written";
      case FsErrc::kUnavailable:
        return "file-system component unavailable";
      case FsErrc::kLinked:
        return "file has more than one name";
      case FsErrc::kChanged:
        return "file changed since it was measured";
      case FsErrc::kInjected:
        return "injected failure";
    }
    return "unknown failure";
  }
};

}  // namespace

const std::error_category& FsCategory() {
  static const FsErrorCategory category;
  return category;
}

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

FolderWalk::FolderWalk(FileSystemLayer& layer, std::u16string_view path)
    : layer_(layer), text_(path) {}

FolderWalk::~FolderWalk() {
  layer_.EndWalk(*this);
}

void FolderWalk::MoveTo(std::u16string_view prefix) {
  const std::size_t length = prefix.size();
  const bool ours = prefix.data() == text_.data() && length <= text_.size();
  // The current prefix, a separator, and one level (perhaps empty) without another separator.
  bool extends = ours && current_ > 0 && length > current_ && text_[current_] == u'\\';
  for (std::size_t i = current_ + 1; extends && i < length; ++i) {
    if (text_[i] == u'\\') extends = false;
  }
  previous_ = extends ? current_ : 0;
  current_ = ours ? length : 0;
  if (!extends || folderLength != previous_) {
    // What the backend kept is not this prefix's parent: let it go, so nothing stale is used.
    layer_.EndWalk(*this);
  }
}

TextStream& TextStream::operator=(TextStream&& other) noexcept {
  if (this != &other) {
    if (layer_ != nullptr) (void)layer_->Close(id_);
    layer_ = std::exchange(other.layer_, nullptr);
    id_ = other.id_;
  }
  return *this;
}

TextStream::~TextStream() {
  // Releasing a stream closes its file. A caller that needs to know whether the close worked
  // calls Close itself.
  if (layer_ != nullptr) (void)layer_->Close(id_);
}

std::error_code TextStream::WriteLine(std::u16string_view text) {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->WriteLine(id_, text);
}

std::error_code TextStream::Close() {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return std::exchange(layer_, nullptr)->Close(id_);
}

FileLock::~FileLock() {
  if (layer_ != nullptr) (void)layer_->Unlock(id_);
}

std::error_code File::Size(std::uint64_t& bytes) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->Size(path_, bytes);
}

std::error_code File::Delete(bool force) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->Delete(path_, force);
}

std::error_code File::OpenAsTextStream(int iomode, int format, TextStream& out) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  StreamId id{};
  if (auto ec = layer_->OpenAsTextStream(path_, iomode, format, id)) return ec;
  out = TextStream(*layer_, id);
  return {};
}

std::error_code CreateTextFile(FileSystemLayer& layer, std::u16string_view path, bool overwrite,
                               bool unicode, TextStream& out) {
  StreamId id{};
  if (auto ec = layer.CreateTextFile(path, overwrite, unicode, id)) return ec;
  out = TextStream(layer, id);
  return {};
}

std::error_code GetFile(FileSystemLayer& layer, std::u16string_view path, File& out) {
  if (auto ec = layer.GetFile(path)) return ec;
  out.path_ = path;
  out.layer_ = &layer;
  return {};
}

std::error_code Lock(FileSystemLayer& layer, std::u16string_view path, FileLock& out) {
  if (out.layer_ != nullptr) return FsErrc::kUnsupported;
  LockId id{};
  if (auto ec = layer.Lock(path, id)) return ec;
  out.layer_ = &layer;
  out.id_ = id;
  return {};
}

}  // namespace calendario
