// The Windows process entry: a GUI-subsystem program with no window and no console. Started
// by a scheduler it is the watcher: it starts itself again as the worker, which makes the run,
// and bounds it.
// The worker hands Main the local clock, the Unicode command line after the program's name,
// and the Win32 file-system backend; the exit status is Main's.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cwchar>
#include <new>
#include <string>

#include "fs/FileSystemWin32.h"
#include "fs/Win32Handle.h"
#include "run/Bound.h"
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

// The worker is started with this variable naming the pipe its watcher made for it, a name of
// that run's own: only a program its watcher started finds that pipe, so whatever the caller's
// environment holds, no other start is taken for a worker.
constexpr const wchar_t* kWorkerPipe = L"CALENDARIO_WORKER";
constexpr std::size_t kPipePartLength = 32;

std::wstring PipePath(const std::wstring& part) {
  return L"\\\\.\\pipe\\calendario-" + part;
}

// A part of the pipe's name no one can have planted beforehand: this process's, the moment's,
// and where the system put this process's stack.
std::wstring RunsOwnPart() {
  LARGE_INTEGER now;
  ::QueryPerformanceCounter(&now);
  std::uint64_t words[2] = {static_cast<std::uint64_t>(now.QuadPart) ^ ::GetTickCount64(),
                            (static_cast<std::uint64_t>(::GetCurrentProcessId()) << 32) ^
                                reinterpret_cast<std::uintptr_t>(&now)};
  std::wstring part;
  for (std::uint64_t word : words) {
    for (int i = 0; i < 16; ++i, word >>= 4) part += L"0123456789abcdef"[word & 0xF];
  }
  return part;
}

// The pipe this process was started to tell its status over, when it is a worker: named by the
// variable (hex digits only, so that it can name nothing but such a pipe), and there.
UniqueHandle WorkerPipe() {
  wchar_t part[kPipePartLength + 2];
  const DWORD length = ::GetEnvironmentVariableW(kWorkerPipe, part, kPipePartLength + 2);
  if (length != kPipePartLength) return {};
  for (std::size_t i = 0; i < kPipePartLength; ++i) {
    if (std::wcschr(L"0123456789abcdef", part[i]) == nullptr || part[i] == L'\0') return {};
  }
  return UniqueHandle(
      ::CreateFileW(PipePath(part).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
}

// The run itself, in the worker (or, when none could be started, in the process itself). Its
// turns at files wait until `turnsUntil` at most, a little before the watcher gives up on it,
// so that a line it could not write is told by its status.
ExitStatus Work(std::chrono::steady_clock::time_point turnsUntil) {
  try {
    const wchar_t* raw = ::GetCommandLineW();
    const std::u16string_view whole(reinterpret_cast<const char16_t*>(raw), std::wcslen(raw));
    Win32Clock clock;
    Win32FileSystem fileSystem(turnsUntil);
    Platform platform{clock, AfterProgramName(whole), fileSystem};
    return Main(platform);
  } catch (const std::bad_alloc&) {
    return ExitStatus::kFolderFailed;  // before the run began
  }
}

// Starts this program again as the worker, with the same command line, and waits for its
// status, within the run's bound. A process, not a thread: a process cannot end while one of
// its threads is stuck in the kernel (a hung network share), and the watcher makes no
// file-system call. Only the status the worker writes over its pipe counts: a worker ended
// from outside, or crashed, says nothing there, whatever its exit code. When no worker can be
// started, the run goes on in this process, without the bound.
ExitStatus Watch(std::chrono::steady_clock::time_point start) {
  const auto inProcess = [&] { return Work(TurnsUntil(start)); };
  std::wstring program(32768, L'\0');
  const DWORD length =
      ::GetModuleFileNameW(nullptr, program.data(), static_cast<DWORD>(program.size()));
  if (length == 0 || length >= program.size()) return inProcess();
  program.resize(length);
  const std::wstring part = RunsOwnPart();
  const UniqueHandle pipe(::CreateNamedPipeW(
      PipePath(part).c_str(), PIPE_ACCESS_INBOUND | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, 16, 0,
      nullptr));
  if (!pipe || !::SetEnvironmentVariableW(kWorkerPipe, part.c_str())) return inProcess();
  std::wstring commandLine = ::GetCommandLineW();
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started)) {
    return inProcess();
  }
  const UniqueHandle worker(started.hProcess);
  const UniqueHandle thread(started.hThread);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(start + kRunBound -
                                                                 std::chrono::steady_clock::now());
  const DWORD wait = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
  if (::WaitForSingleObject(worker.Get(), wait) != WAIT_OBJECT_0) return ExitStatus::kTimedOut;
  // What the worker wrote before it ended stays in the pipe for the watcher to read.
  DWORD waiting = 0;
  unsigned char status = 0;
  DWORD read = 0;
  if (!::PeekNamedPipe(pipe.Get(), nullptr, 0, nullptr, &waiting, nullptr) || waiting == 0 ||
      !::ReadFile(pipe.Get(), &status, 1, &read, nullptr) || read != 1) {
    return ExitStatus::kUntold;
  }
  return static_cast<ExitStatus>(status);
}

}  // namespace
}  // namespace calendario

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace calendario;
  const auto start = std::chrono::steady_clock::now();
  const UniqueHandle pipe = WorkerPipe();
  if (!pipe) return static_cast<int>(Watch(start));
  const ExitStatus status = Work(TurnsUntil(start));
  const auto code = static_cast<unsigned char>(status);
  DWORD written = 0;
  ::WriteFile(pipe.Get(), &code, 1, &written, nullptr);
  return static_cast<int>(status);
}
