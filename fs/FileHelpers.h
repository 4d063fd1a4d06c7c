// The folder and file helpers: each does one thing through the file-system layer and folds
// every failure (an allocation failure included) into its result; none lets a failure out.
#pragma once

#include <cstdint>
#include <string_view>
#include <system_error>
#include <vector>

#include "fs/FileSystem.h"

namespace calendario {

enum class CreationResult : std::uint8_t {
  AlreadyExisted = 0,  // it was there before the call
  Created = 1,         // this call made it
  Failed = 255,        // some step failed; nothing is known about what exists
};

// AppendLine's results: a signed 16-bit code of its own, not a CreationResult.
inline constexpr std::int16_t kLineWritten = 1;
inline constexpr std::int16_t kLineNotWritten = 255;

// The cumulative prefixes of the text, cut before each separator, plus the whole text unless
// it ends with the separator; views into `text`, which must outlive them. Fails with
// value_too_large for a text longer than 32767 code units and with result_out_of_range when
// the prefixes outnumber the list's capacity: half the length rounded to even, plus one. On
// failure `prefixes` is left empty. May throw std::bad_alloc.
std::error_code PathPrefixes(std::u16string_view text, char16_t separator,
                             std::vector<std::u16string_view>& prefixes);

// Makes every level of the path after the first exist, in order, stopping at the first that
// fails. The result is that of the last level: AlreadyExisted also when there is no level
// after the first (an empty path, a bare name).
CreationResult CreateFolderPath(FileSystemLayer& layer, std::u16string_view path);

// Makes the one folder exist. A folder that another process makes between the check and the
// creation counts as AlreadyExisted. `path` is a prefix of the walk's text (the next one of
// CreateFolderPath's), and the folder operations go through the walk.
CreationResult EnsureFolder(FileSystemLayer& layer, std::u16string_view path, FolderWalk& walk);

// Makes the file exist, creating it empty when missing; an existing file is not opened. A file
// that another process makes between the check and the creation counts as AlreadyExisted.
CreationResult EnsureFile(FileSystemLayer& layer, std::u16string_view path);

// The file object of the file at the path, which is created empty first when missing; an
// object never obtained (whose operations fail with kNotObtained) on any failure.
File OpenFileObject(FileSystemLayer& layer, std::u16string_view path);

// Appends the text and CR LF to the file, creating it when missing. kLineWritten, or
// kLineNotWritten when any step failed, in which case the file holds what it held before.
std::int16_t AppendLine(FileSystemLayer& layer, std::u16string_view path, std::u16string_view text);

}  // namespace calendario
