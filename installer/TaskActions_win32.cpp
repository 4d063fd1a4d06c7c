// The MSI's own custom actions (a DLL in its Binary table), which give the machine-wide task the
// program where it was installed and the options the installation was given.
//
// PrepareTaskDefinition (immediate, after CostFinalize, before anything is changed) makes the
// action from INSTALLDIR and the four options and refuses, with the reason in the installation's
// log, what Task Scheduler or Windows could not carry: a refused installation ends at once and
// leaves a task already registered as it was. Otherwise it hands the definition's path and the
// action to WriteTaskDefinition (deferred, not impersonated, after InstallFiles), which writes
// them into the installed calendario-machine.task.xml, in UTF-16 as Task Scheduler reads it, for
// schtasks /Create /XML to register. Nothing goes through the environment, which Task Scheduler
// reads once when it starts, nor through schtasks /Change /TR, which takes 261 characters at
// most.
#include <windows.h>
// After windows.h, whose types they use.
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <string_view>

#include "installer/TaskDefinition.h"

namespace {

using calendario::installer::MakeTaskAction;
using calendario::installer::TaskAction;
using calendario::installer::TaskOptions;
using calendario::installer::WithTaskAction;

std::wstring Wide(std::u16string_view text) {
  return {text.begin(), text.end()};
}
std::u16string Utf16(std::wstring_view text) {
  return {text.begin(), text.end()};
}

// A property of the installation, or of the deferred action (CustomActionData).
std::u16string Property(MSIHANDLE install, const wchar_t* name) {
  DWORD size = 0;
  wchar_t empty[1] = {};
  if (MsiGetPropertyW(install, name, empty, &size) != ERROR_MORE_DATA) return {};
  std::wstring value(size + 1, L'\0');
  size = static_cast<DWORD>(value.size());
  if (MsiGetPropertyW(install, name, value.data(), &size) != ERROR_SUCCESS) return {};
  value.resize(size);
  return Utf16(value);
}

// One line in the installation's log; with `error`, also the message its user interface shows.
void Say(MSIHANDLE install, std::u16string_view text, bool error) {
  const MSIHANDLE record = MsiCreateRecord(0);
  if (record == 0) return;
  const std::wstring line = L"calendario: " + Wide(text);
  MsiRecordSetStringW(record, 0, line.c_str());
  MsiProcessMessage(
      install, error ? INSTALLMESSAGE(INSTALLMESSAGE_ERROR | MB_OK) : INSTALLMESSAGE_INFO, record);
  MsiCloseHandle(record);
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

constexpr char16_t kByteOrderMark = u'\xfeff';

// The text of a UTF-16 file that starts with its byte-order mark; empty when it cannot be read.
std::u16string ReadDefinition(const std::wstring& path) {
  Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  LARGE_INTEGER size;
  if (!file.valid() || !GetFileSizeEx(file.get(), &size) || size.QuadPart < 2 ||
      size.QuadPart > (1 << 20) || size.QuadPart % 2 != 0) {
    return {};
  }
  std::u16string text(static_cast<std::size_t>(size.QuadPart / 2), u'\0');
  DWORD read = 0;
  if (!ReadFile(file.get(), text.data(), static_cast<DWORD>(size.QuadPart), &read, nullptr) ||
      read != size.QuadPart || text.front() != kByteOrderMark) {
    return {};
  }
  return text.substr(1);
}

// Writes `text` with its byte-order mark beside `path` and then puts it in its place, so that
// the definition is either the old one or the new one whole.
bool WriteDefinition(const std::wstring& path, std::u16string_view text) {
  const std::wstring written = path + L".new";
  std::u16string bytes(1, kByteOrderMark);
  bytes += text;
  const DWORD size = static_cast<DWORD>(bytes.size() * sizeof(char16_t));
  {
    Handle file(CreateFileW(written.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD done = 0;
    if (!file.valid() || !WriteFile(file.get(), bytes.data(), size, &done, nullptr) ||
        done != size || !FlushFileBuffers(file.get())) {
      DeleteFileW(written.c_str());
      return false;
    }
  }
  if (!MoveFileExW(written.c_str(), path.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(written.c_str());
    return false;
  }
  return true;
}

constexpr std::u16string_view kDefinitionName = u"calendario-machine.task.xml";

}  // namespace

extern "C" __declspec(dllexport) UINT __stdcall PrepareTaskDefinition(MSIHANDLE install) {
  const std::u16string installDir = Property(install, L"INSTALLDIR");
  const TaskAction action = MakeTaskAction(
      installDir, TaskOptions{Property(install, L"ROOTFOLDER"), Property(install, L"REPORTFOLDER"),
                              Property(install, L"MIRRORNAME"), Property(install, L"REPORTLOG")});
  if (!action.refusal.empty()) {
    Say(install, action.refusal, true);
    return ERROR_INSTALL_FAILURE;
  }
  std::u16string definition = installDir;
  if (definition.empty() || definition.back() != u'\\') definition += u'\\';
  definition += kDefinitionName;
  // One line each: none of the three can hold a line end (MakeTaskAction refuses it).
  const std::wstring data = Wide(definition + u'\n' + action.command + u'\n' + action.arguments);
  if (MsiSetPropertyW(install, L"WriteTaskDefinition", data.c_str()) != ERROR_SUCCESS) {
    return ERROR_INSTALL_FAILURE;
  }
  Say(install, u"the task calendario-machine will run " + action.command + u' ' + action.arguments,
      false);
  return ERROR_SUCCESS;
}

extern "C" __declspec(dllexport) UINT __stdcall WriteTaskDefinition(MSIHANDLE install) {
  const std::u16string data = Property(install, L"CustomActionData");
  const std::size_t first = data.find(u'\n');
  const std::size_t second = first == std::u16string::npos ? first : data.find(u'\n', first + 1);
  if (second == std::u16string::npos) {
    Say(install, u"WriteTaskDefinition was given no definition to write.", true);
    return ERROR_INSTALL_FAILURE;
  }
  const std::wstring path = Wide(data.substr(0, first));
  TaskAction action;
  action.command = data.substr(first + 1, second - first - 1);
  action.arguments = data.substr(second + 1);
  const std::u16string shipped = ReadDefinition(path);
  const auto definition = WithTaskAction(shipped, action);
  if (!definition || !WriteDefinition(path, *definition)) {
    Say(install, u"the task's definition " + Utf16(path) + u" could not be written.", true);
    return ERROR_INSTALL_FAILURE;
  }
  return ERROR_SUCCESS;
}
