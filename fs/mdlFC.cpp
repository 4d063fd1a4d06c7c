#include "fs/mdlFC.h"

#include <algorithm>
#include <limits>

namespace calendario::mdlFC {
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

CreationResult CreateFolderPath(FileSystemLayer& layer, std::u16string_view path) {
  std::vector<std::u16string_view> prefixes;
  if (PathPrefixes(path, u'\\', prefixes)) return CreationResult::Failed;
  CreationResult result = CreationResult::AlreadyExisted;
  // Entry 0 is the drive (or nothing, or a bare relative name): never looked at or created.
  for (std::size_t k = 1; k < prefixes.size(); ++k) {
    result = EnsureFolder(layer, prefixes[k]);
    if (result == CreationResult::Failed) return CreationResult::Failed;
  }
  return result;
}

CreationResult EnsureFolder(FileSystemLayer& layer, std::u16string_view path) {
  FileSystemObject fso;
  if (fso.Obtain(layer)) return CreationResult::Failed;
  bool exists = false;
  if (fso.FolderExists(path, exists)) return CreationResult::Failed;
  if (exists) return CreationResult::AlreadyExisted;
  if (fso.CreateFolder(path)) {
    // Another run may have made it a moment ago; a file standing there is still a failure.
    bool nowExists = false;
    if (!fso.FolderExists(path, nowExists) && nowExists) return CreationResult::AlreadyExisted;
    return CreationResult::Failed;
  }
  return CreationResult::Created;
}

CreationResult EnsureFile(FileSystemLayer& layer, std::u16string_view path) {
  FileSystemObject fso;
  if (fso.Obtain(layer)) return CreationResult::Failed;
  bool exists = false;
  if (fso.FileExists(path, exists)) return CreationResult::Failed;
  if (exists) return CreationResult::AlreadyExisted;
  TextStream stream;  // released, and the new file closed empty, when this returns
  if (fso.CreateTextFile(path, false, false, stream)) {
    bool nowExists = false;
    if (!fso.FileExists(path, nowExists) && nowExists) return CreationResult::AlreadyExisted;
    return CreationResult::Failed;
  }
  return CreationResult::Created;
}

File OpenFileObject(FileSystemLayer& layer, std::u16string_view path) {
  FileSystemObject fso;
  if (fso.Obtain(layer)) return {};
  if (EnsureFile(layer, path) == CreationResult::Failed) return {};
  File file;
  if (fso.GetFile(path, file)) return {};
  return file;
}

std::int16_t AppendLine(FileSystemLayer& layer, std::u16string_view path,
                        std::u16string_view text) {
  const File file = OpenFileObject(layer, path);
  TextStream stream;
  if (file.OpenAsTextStream(kForAppending, kTristateFalse, stream)) return kLineNotWritten;
  if (stream.WriteLine(text)) return kLineNotWritten;
  if (stream.Close()) return kLineNotWritten;
  return kLineWritten;
}

std::vector<std::u16string> GetCommandArgs(std::u16string_view commandLine, std::size_t maxArgs) {
  std::vector<std::u16string> args(1);
  // No more entries than the text can hold, however large maxArgs is.
  args.reserve(1 + std::min(maxArgs, commandLine.size() / 2 + 1));
  bool inArgument = false;
  for (char16_t c : commandLine) {
    if (c != u' ' && c != u'\t') {
      if (!inArgument) {
        if (args.size() - 1 == maxArgs) break;
        args.emplace_back();
        inArgument = true;
      }
      args.back().push_back(c);
    } else {
      inArgument = false;
    }
  }
  return args;
}

}  // namespace calendario::mdlFC
