// Windows only: the Win32 walk's host calls (see fs/FolderWalk.h). One name more is opened or
// made by the native API relative to the held folder's handle, a call whose cost is that of
// the name alone; a prefix located in full goes to the path-taking API. The native API takes a
// name as it stands (no trailing dot or space is dropped, no device is mapped), which is why it
// is handed only the final names the walk gives it. A level that is a reparse point is opened
// again by its full path, so that links are followed as the path-taking API follows them.
#include <windows.h>
// After windows.h, which it needs.
#include <winternl.h>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Files.h"

namespace calendario {
namespace {

// A folder's handle as the walk holds it: enough to open names in it and to read what it is.
constexpr DWORD kFolderAccess =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | SYNCHRONIZE;

// Opens the folder at the full path, following what a reparse point there leads to, as the
// path-taking API does; nothing when it cannot be opened or is no folder.
UniqueHandle OpenFolderByPath(const std::wstring& native) {
  UniqueHandle folder(::CreateFileW(native.c_str(), kFolderAccess, kShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  BY_HANDLE_FILE_INFORMATION info;
  if (folder && (!::GetFileInformationByHandle(folder.Get(), &info) ||
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
    folder.Reset();
  }
  return folder;
}

class Win32Walk final : public FolderWalk {
 public:
  Win32Walk(const Win32FileSystem::NativeApi& native, std::u16string_view path)
      : FolderWalk(path), native_(native) {}

 private:
  std::error_code FindInHeld(std::u16string_view prefix, std::u16string_view name, bool& exists,
                             bool& held) override {
    UniqueHandle folder;
    exists = OpenInHeld(name, FILE_OPEN, folder) >= 0 && FollowLink(prefix, folder);
    if (exists) held = Hold(std::move(folder));
    return {};
  }

  std::error_code MakeInHeld(std::u16string_view, std::u16string_view name, bool& held) override {
    UniqueHandle folder;
    const NTSTATUS status = OpenInHeld(name, FILE_CREATE, folder);
    if (status < 0) return {static_cast<int>(native_.toError(status)), std::system_category()};
    held = Hold(std::move(folder));
    return {};
  }

  std::error_code FindLocated(std::u16string_view prefix, const ResolvedPath& resolved,
                              bool& exists, bool& held) override {
    std::wstring path;
    exists = false;
    if (resolved.refused || NativePath(prefix, path)) return {};
    const DWORD attributes = ::GetFileAttributesW(path.c_str());
    exists = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    if (exists) held = HoldByPath(resolved, path);
    return {};
  }

  std::error_code MakeLocated(std::u16string_view prefix, const ResolvedPath& resolved,
                              bool& held) override {
    if (resolved.refused) return FsErrc::kInvalidName;
    std::wstring path;
    if (auto ec = NativePath(prefix, path)) return ec;
    if (!::CreateDirectoryW(path.c_str(), nullptr)) return LastError();
    held = HoldByPath(resolved, path);
    return {};
  }

  void DropHeld() override { folder_.Reset(); }

  // Windows resolves a located path itself (NativePath): the walk reads it as from no current
  // folder, and holds only folders on a drive.
  const CurrentFolder& Current() override { return none_; }

  NTSTATUS OpenInHeld(std::u16string_view name, ULONG disposition, UniqueHandle& folder) const {
    UNICODE_STRING text;
    text.Length = text.MaximumLength = static_cast<USHORT>(name.size() * sizeof(wchar_t));
    text.Buffer = const_cast<PWSTR>(reinterpret_cast<const wchar_t*>(name.data()));
    OBJECT_ATTRIBUTES object;
    InitializeObjectAttributes(&object, &text, OBJ_CASE_INSENSITIVE, folder_.Get(), nullptr);
    IO_STATUS_BLOCK io{};
    HANDLE opened = nullptr;
    const NTSTATUS status =
        native_.createFile(&opened, kFolderAccess, &object, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                           kShareAll, disposition,
                           FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT |
                               FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT,
                           nullptr, 0);
    folder.Reset(status >= 0 ? opened : nullptr);
    return status;
  }

  // A level opened as it stands that is a reparse point is opened again by its full path.
  static bool FollowLink(std::u16string_view prefix, UniqueHandle& folder) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!::GetFileInformationByHandle(folder.Get(), &info)) return false;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) return true;
    std::wstring path;
    if (NativePath(prefix, path)) return false;
    folder = OpenFolderByPath(path);
    return static_cast<bool>(folder);
  }

  // A folder located by its path is held, for a next level, when it lies on a drive and the
  // native API is there to open a name in it.
  bool HoldByPath(const ResolvedPath& resolved, const std::wstring& path) {
    if (resolved.root != PathRoot::kDrive || native_.createFile == nullptr) return false;
    return Hold(OpenFolderByPath(path));
  }

  bool Hold(UniqueHandle folder) {
    folder_ = std::move(folder);
    return static_cast<bool>(folder_);
  }

  const Win32FileSystem::NativeApi& native_;
  const CurrentFolder none_;
  UniqueHandle folder_;  // the folder held, if any
};

}  // namespace

Win32FileSystem::NativeApi::NativeApi() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return;
  createFile = reinterpret_cast<CreateFileCall>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "NtCreateFile")));
  toError = reinterpret_cast<ErrorCall>(
      reinterpret_cast<void*>(::GetProcAddress(ntdll, "RtlNtStatusToDosError")));
  if (toError == nullptr) createFile = nullptr;
}

std::unique_ptr<FolderWalk> Win32FileSystem::Walk(std::u16string_view path) {
  return std::make_unique<Win32Walk>(native_, path);
}

}  // namespace calendario
