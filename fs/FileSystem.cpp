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

TextStream& TextStream::operator=(TextStream&& other) noexcept {
  if (this != &other) {
    Release();
    layer_ = std::exchange(other.layer_, nullptr);
    id_ = std::exchange(other.id_, 0);
  }
  return *this;
}

TextStream::~TextStream() {
  Release();
}

void TextStream::Release() noexcept {
  if (layer_ != nullptr) {
    // Releasing a stream closes its file; there is no one left to tell of a failure.
    (void)layer_->Close(id_);
    layer_ = nullptr;
  }
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
  StreamId id = 0;
  if (auto ec = layer_->OpenAsTextStream(path_, iomode, format, id)) return ec;
  TextStream opened;
  opened.layer_ = layer_;
  opened.id_ = id;
  out = std::move(opened);
  return {};
}

std::error_code FileSystemObject::Obtain(FileSystemLayer& layer) {
  if (auto ec = layer.Obtain()) return ec;
  layer_ = &layer;
  return {};
}

std::error_code FileSystemObject::FolderExists(std::u16string_view path, bool& exists) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->FolderExists(path, exists);
}

std::error_code FileSystemObject::CreateFolder(std::u16string_view path) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->CreateFolder(path);
}

std::error_code FileSystemObject::FileExists(std::u16string_view path, bool& exists) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->FileExists(path, exists);
}

std::error_code FileSystemObject::CreateTextFile(std::u16string_view path, bool overwrite,
                                                 bool unicode, TextStream& out) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  StreamId id = 0;
  if (auto ec = layer_->CreateTextFile(path, overwrite, unicode, id)) return ec;
  TextStream created;
  created.layer_ = layer_;
  created.id_ = id;
  out = std::move(created);
  return {};
}

std::error_code FileSystemObject::GetFile(std::u16string_view path, File& out) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  if (auto ec = layer_->GetFile(path)) return ec;
  out.layer_ = layer_;
  out.path_ = path;
  return {};
}

std::error_code FileSystemObject::Lock(std::u16string_view path, FileLock& out) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  if (out.layer_ != nullptr) return FsErrc::kUnsupported;  // one lock a handle
  StreamId id = 0;
  if (auto ec = layer_->Lock(path, id)) return ec;
  out.layer_ = layer_;
  out.id_ = id;
  return {};
}

}  // namespace calendario
