#include "fs/FileSystem.h"

#include <new>
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
    }
    return "unknown failure";
  }
};

}  // namespace

const std::error_category& FsCategory() {
  static const FsErrorCategory category;
  return category;
}

std::error_code FileSystemLayer::FolderExists(std::u16string_view path, bool& exists) try {
  const std::unique_ptr<FolderWalk> walk = Walk(path);
  return walk->FolderExists(walk->Text(), exists);
} catch (const std::bad_alloc&) {
  return std::make_error_code(std::errc::not_enough_memory);
}

std::error_code FileSystemLayer::CreateFolder(std::u16string_view path) try {
  const std::unique_ptr<FolderWalk> walk = Walk(path);
  return walk->CreateFolder(walk->Text());
} catch (const std::bad_alloc&) {
  return std::make_error_code(std::errc::not_enough_memory);
}

Step FileSystemLayer::BeginStep() {
  if (claims_ == 0 && gate_ != nullptr && !gate_->Begin()) return Step(*this, false);
  ++claims_;
  return Step(*this, true);
}

Step::~Step() {
  if (!claimed_) return;
  if (--layer_.claims_ == 0 && layer_.gate_ != nullptr) layer_.gate_->End();
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

std::error_code File::Size(FileMeasure& measured) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->Size(path_, measured);
}

std::error_code File::Delete(bool force, const FileMeasure* measured) const {
  if (layer_ == nullptr) return FsErrc::kNotObtained;
  return layer_->Delete(path_, force, measured);
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
