// The Windows process entry: a GUI-subsystem program with no window and no console. Started
// by a scheduler it is the watcher: it starts itself again as the worker and bounds the run.
// The worker hands Main the local clock, the Unicode command line after the program's name,
// and the Win32 file-system backend; the exit status is Main's.
#include <windows.h>

#include <chrono>
#include <cwchar>
#include <new>
#include <string>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Handle.h"
#include "run/CommandLine.h"
#include "run/DailyRun.h"

namespace calendario {
namespace {

std::u16string FromWide(const wchar_t* text, int length) {
  if (length <= 0) return {};
  // The terminating null the format functions count is not part of the text.
  if (text[length - 1] == L'\0') --length;
  return std::u16string(reinterpret_cast<const char16_t*>(text), static_cast<std::size_t>(length));
}

class Win32Clock final : public Clock {
 public:
  LocalDate Today() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    return {now.wYear, now.wMonth, now.wDay};
  }

  // The user's regional short date, a space, and the regional time of day.
  std::u16string DateTimeText() override {
    SYSTEMTIME now;
    ::GetLocalTime(&now);
    wchar_t date[128];
    wchar_t time[128];
    const int dateLength = ::GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &now,
                                             nullptr, date, 128, nullptr);
    const int timeLength = ::GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &now, nullptr, time, 128);
    return FromWide(date, dateLength) + u" " + FromWide(time, timeLength);
  }
};

// How long a run may take at most, in wall time: an unattended run that meets something that
// blocks (a network share that stopped answering) must still end. The build sets it.
constexpr unsigned kRunSeconds = CALENDARIO_RUN_SECONDS;

// Set in the worker's environment by the watcher that started it.
constexpr const wchar_t* kWorkerMark = L"CALENDARIO_WORKER";

// The run itself, in the worker. Its turns at files wait until `turnsUntil` at most, a little
// before the watcher gives up on it, so that a line it could not write is told by its status.
ExitStatus Work(std::chrono::steady_clock::time_point turnsUntil) {
  const wchar_t* raw = ::GetCommandLineW();
  const std::u16string_view whole(reinterpret_cast<const char16_t*>(raw), std::wcslen(raw));
  Win32Clock clock;
  Win32FileSystem fileSystem(turnsUntil);
  Platform platform{clock, AfterProgramName(whole), fileSystem};
  return Main(platform);
}

// Starts this program again as the worker, with the same command line, and waits for it
// kRunSeconds at most. A process, not a thread: a process cannot end while one of its threads
// is stuck in the kernel (a hung network share), and the watcher makes no file-system call.
ExitStatus Watch() {
  std::wstring program(32768, L'\0');
  const DWORD length =
      ::GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
  if (length == 0 || length >= program.size()) return ExitStatus::kNotStarted;
  program.resize(length);
  std::wstring commandLine = ::GetCommandLineW();
  if (!::SetEnvironmentVariableW(kWorkerMark, L"1")) return ExitStatus::kNotStarted;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
    return ExitStatus::kNotStarted;
  }
  const UniqueHandle worker(started.hProcess);
  const UniqueHandle thread(started.hThread);
  if (::WaitForSingleObject(worker.Get(), kRunSeconds * 1000) != WAIT_OBJECT_0) {
    return ExitStatus::kTimedOut;
  }
  DWORD status = static_cast<DWORD>(ExitStatus::kTimedOut);
  ::GetExitCodeProcess(worker.Get(), &status);
  return static_cast<ExitStatus>(status);
}

}  // namespace
}  // namespace calendario

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace calendario;
  const auto start = std::chrono::steady_clock::now();
  if (::GetEnvironmentVariableW(kWorkerMark, nullptr, 0) == 0) {
    return static_cast<int>(Watch());
  }
  // The watcher's bound, less a tenth for the worker to tell a line it could not write.
  const auto turnsUntil = start + std::chrono::seconds(kRunSeconds) * 9 / 10;
  try {
    return static_cast<int>(Work(turnsUntil));
  } catch (const std::bad_alloc&) {
    return static_cast<int>(ExitStatus::kFolderFailed);  // before the run began
  }
}
