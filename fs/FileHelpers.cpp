#include "fs/FileHelpers.h"

#include <limits>
#include <new>

namespace calendario {
namespace {

// Half the length rounded to the nearest whole number, ties to the even one, plus one.
std::size_t PrefixCapacity(std::size_t length) {
  std::size_t half = length / 2;
  if (length % 2 == 1 && half % 2 == 1) ++half;
  return half + 1;
}

}  // namespace

std::error_code PathPrefixes(std::u16string_view text, char16_t separator,
                             std::vector<std::u16string_view>& prefixes) {
  prefixes.clear();
  // The length is held in a signed 16-bit integer: a longer text overflows it.
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max())) {
    return std::make_error_code(std::errc::value_too_large);
  }
  const std::size_t capacity = PrefixCapacity(text.size());
  prefixes.reserve(capacity);
  auto store = [&](std::size_t length) {
    if (prefixes.size() == capacity) return false;
    prefixes.push_back(text.substr(0, length));
    return true;
  };
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == separator && !store(i)) {
      prefixes.clear();
      return std::make_error_code(std::errc::result_out_of_range);
    }
  }
  if ((text.empty() || text.back() != separator) && !store(text.size())) {
    prefixes.clear();
    return std::make_error_code(std::errc::result_out_of_range);
  }
  return {};
}

CreationResult CreateFolderPath(FileSystemLayer& layer, std::u16string_view path) try {
  // The walk holds its own copy of the path, and the prefixes are views of that copy, so the
  // layer can tell that each is the one before it plus a level.
  const std::unique_ptr<FolderWalk> walk = layer.Walk(path);
  std::vector<std::u16string_view> prefixes;
  if (PathPrefixes(walk->Text(), u'\\', prefixes)) return CreationResult::Failed;
  CreationResult result = CreationResult::AlreadyExisted;
  // Entry 0 is the drive (or nothing, or a bare relative name): never looked at or created.
  for (std::size_t k = 1; k < prefixes.size(); ++k) {
    result = EnsureFolder(layer, prefixes[k], *walk);
    if (result == CreationResult::Failed) return CreationResult::Failed;
  }
  return result;
} catch (const std::bad_alloc&) {
  return CreationResult::Failed;
}

CreationResult EnsureFolder(FileSystemLayer& layer, std::u16string_view path,
                            FolderWalk& walk) try {
  if (layer.Obtain()) return CreationResult::Failed;
  const auto exists = [&](bool& there) { return walk.FolderExists(path, there); };
  bool there = false;
  if (exists(there)) return CreationResult::Failed;
  if (there) return CreationResult::AlreadyExisted;
  const Step step = layer.BeginStep();
  if (!step) return CreationResult::Failed;
  if (walk.CreateFolder(path)) {
    // Another run may have made it a moment ago; a file standing there is still a failure.
    bool nowThere = false;
    if (!exists(nowThere) && nowThere) return CreationResult::AlreadyExisted;
    return CreationResult::Failed;
  }
  return CreationResult::Created;
} catch (const std::bad_alloc&) {
  return CreationResult::Failed;
}

CreationResult EnsureFile(FileSystemLayer& layer, std::u16string_view path) try {
  if (layer.Obtain()) return CreationResult::Failed;
  bool exists = false;
  if (layer.FileExists(path, exists)) return CreationResult::Failed;
  if (exists) return CreationResult::AlreadyExisted;
  const Step step = layer.BeginStep();
  if (!step) return CreationResult::Failed;
  TextStream stream;
  if (CreateTextFile(layer, path, false, false, stream)) {
    bool nowExists = false;
    if (!layer.FileExists(path, nowExists) && nowExists) return CreationResult::AlreadyExisted;
    return CreationResult::Failed;
  }
  // The new file is closed empty here; a close that fails is a file that may not be there.
  if (stream.Close()) return CreationResult::Failed;
  return CreationResult::Created;
} catch (const std::bad_alloc&) {
  return CreationResult::Failed;
}

File OpenFileObject(FileSystemLayer& layer, std::u16string_view path) try {
  if (layer.Obtain()) return {};
  if (EnsureFile(layer, path) == CreationResult::Failed) return {};
  File file;
  if (GetFile(layer, path, file)) return {};
  return file;
} catch (const std::bad_alloc&) {
  return {};
}

std::int16_t AppendLine(FileSystemLayer& layer, std::u16string_view path,
                        std::u16string_view text) try {
  const Step step = layer.BeginStep();
  if (!step) return kLineNotWritten;
  const File file = OpenFileObject(layer, path);
  TextStream stream;
  if (file.OpenAsTextStream(kForAppending, kTristateFalse, stream)) return kLineNotWritten;
  if (stream.WriteLine(text)) return kLineNotWritten;
  if (stream.Close()) return kLineNotWritten;
  return kLineWritten;
} catch (const std::bad_alloc&) {
  return kLineNotWritten;
}

}  // namespace calendario
