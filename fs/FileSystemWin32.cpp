// Windows only: the Win32 backend's operations on files and their streams. Its turns are in
// Win32Turns.cpp, its deletion in Win32Delete.cpp, its walk in Win32Walk.cpp.
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Files.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {

DWORD Attributes(std::u16string_view path, bool asFile) {
  std::wstring native;
  if (Prepare(path, asFile, native)) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(native.c_str());
}

}  // namespace

Win32FileSystem::Win32FileSystem(Clock::time_point turnsUntil) : until_(turnsUntil) {}

std::error_code Win32FileSystem::Obtain() {
  return {};
}

std::error_code Win32FileSystem::FileExists(std::u16string_view path, bool& exists) {
  const DWORD attributes = Attributes(path, true);
  exists = attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
  return {};
}

std::error_code Win32FileSystem::CreateTextFile(std::u16string_view path, bool overwrite,
                                                bool unicode, StreamId& stream) {
  if (unicode) return FsErrc::kUnsupported;
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  UniqueHandle file(::CreateFileW(native.c_str(), GENERIC_WRITE, kShareAll, nullptr,
                                  overwrite ? CREATE_ALWAYS : CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!file) return LastError();
  stream = streams_.Add(Stream{std::move(file), Win32Turn()});
  return {};
}

std::error_code Win32FileSystem::GetFile(std::u16string_view path) {
  FileMeasure ignored;
  return Size(path, ignored);
}

std::error_code Win32FileSystem::Size(std::u16string_view path, FileMeasure& measured) {
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  const UniqueHandle file = Look(native, FILE_FLAG_BACKUP_SEMANTICS);
  if (!file) return LastError();
  BY_HANDLE_FILE_INFORMATION info;
  if (auto ec = Describe(file.Get(), info, measured)) return ec;
  if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return FsErrc::kNotAFile;
  return {};
}

std::error_code Win32FileSystem::OpenAsTextStream(std::u16string_view path, int iomode, int format,
                                                  StreamId& stream) {
  if (iomode != kForAppending || format != kTristateFalse) return FsErrc::kUnsupported;
  std::wstring native;
  if (auto ec = Prepare(path, true, native)) return ec;
  Win32Turn turn;
  if (auto ec = TurnAt(native, OPEN_EXISTING, true, turn)) return ec;
  stream = streams_.Add(Stream{UniqueHandle(), std::move(turn)});
  return {};
}

std::error_code Win32FileSystem::WriteLine(StreamId stream, std::u16string_view text) {
  const Stream* open = streams_.Find(stream);
  if (open == nullptr) return FsErrc::kNotObtained;
  const HANDLE h = open->File();
  std::string line;
  if (!text.empty()) {
    const auto* wide = reinterpret_cast<const wchar_t*>(text.data());
    const int length = static_cast<int>(text.size());
    // Characters outside the ANSI code page become its default character.
    const int n = ::WideCharToMultiByte(CP_ACP, 0, wide, length, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return LastError();
    line.resize(static_cast<std::size_t>(n));
    if (::WideCharToMultiByte(CP_ACP, 0, wide, length, line.data(), n, nullptr, nullptr) != n) {
      return LastError();
    }
  }
  line += "\r\n";
  // The stream holds the file's turn: how the file ends now is how it ends when the line goes
  // in, and a cut-back takes no other writer's line.
  LARGE_INTEGER before;
  if (!::GetFileSizeEx(h, &before)) return LastError();
  // A file that ends in a fragment (a line cut short) gets a line end first.
  char last = '\n';
  if (before.QuadPart > 0 && open->turn && open->turn.Held().readable) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(before.QuadPart - 1);
    at.OffsetHigh = static_cast<DWORD>((before.QuadPart - 1) >> 32);
    DWORD read = 0;
    if (!::ReadFile(h, &last, 1, &read, &at) || read != 1) last = '\n';
  }
  if (last != '\n') line.insert(0, "\r\n");
  DWORD written = 0;
  const bool ok = ::WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  if (ok && written == line.size()) return {};
  const auto ec = ok ? std::error_code(FsErrc::kPartialWrite) : LastError();
  LARGE_INTEGER after;
  if (written > 0 && ::GetFileSizeEx(h, &after) && after.QuadPart == before.QuadPart + written) {
    // Part of the line went in, and nothing after it: take it out again, still in the turn,
    // through a handle that may shorten the file.
    const UniqueHandle shorten(::ReOpenFile(h, GENERIC_WRITE, kShareAll, 0));
    if (shorten) {
      FILE_END_OF_FILE_INFO end;
      end.EndOfFile = before;
      ::SetFileInformationByHandle(shorten.Get(), FileEndOfFileInfo, &end, sizeof end);
    }
  }
  return ec;
}

std::error_code Win32FileSystem::Close(StreamId stream) {
  Stream closing;
  if (!streams_.Take(stream, closing)) return FsErrc::kNotObtained;
  if (closing.turn) return closing.turn.Release();
  if (!closing.made.Close()) return LastError();
  return {};
}

}  // namespace calendario
