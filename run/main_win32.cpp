// The Windows process entry: a GUI-subsystem program with no window and no console. Started
// by a scheduler it is the watcher: it starts itself again as the worker, which makes the run,
// and bounds it; the two share the word of run/WorkerWord.h, and the watcher's deadline.
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
#include "run/WorkerWord.h"

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

// What the watcher hands the worker, in a file mapping of the run's own, named after its pipe.
struct Handover {
  WorkerWord::Word word;
  // The watcher's deadline for the worker's turns: steady_clock is the system's performance
  // counter, so a moment means the same in both processes.
  std::chrono::steady_clock::rep turnsUntil;
};

std::wstring HandoverName(const std::wstring& part) {
  return L"Local\\calendario-" + part;
}

// The view of a mapping, unmapped with its owner.
class MappedView {
 public:
  explicit MappedView(HANDLE mapping)
      : view_(mapping == nullptr ? nullptr
                                 : ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0,
                                                   sizeof(Handover))) {}
  MappedView(const MappedView&) = delete;
  MappedView& operator=(const MappedView&) = delete;
  ~MappedView() {
    if (view_ != nullptr) ::UnmapViewOfFile(view_);
  }
  Handover* Get() const { return static_cast<Handover*>(view_); }

 private:
  void* view_;
};

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

// The part of the run's names this process was started as a worker for: the variable's (hex
// digits only, so that it can name nothing but that run's pipe and mapping), when its
// watcher's pipe is there. Empty for a watcher.
std::wstring WorkerPart() {
  wchar_t part[kPipePartLength + 2];
  const DWORD length = ::GetEnvironmentVariableW(kWorkerPipe, part, kPipePartLength + 2);
  if (length != kPipePartLength) return {};
  for (std::size_t i = 0; i < kPipePartLength; ++i) {
    if (std::wcschr(L"0123456789abcdef", part[i]) == nullptr || part[i] == L'\0') return {};
  }
  const UniqueHandle pipe(
      ::CreateFileW(PipePath(part).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return pipe ? std::wstring(part, kPipePartLength) : std::wstring();
}

// The run itself, in the worker (or, when none could be started, in the process itself, with
// no gate). Its turns at files wait until `turnsUntil` at most, a little before the watcher
// gives up on it, so that a line it could not write is told by its status.
ExitStatus Work(std::chrono::steady_clock::time_point turnsUntil, StepGate* gate) {
  try {
    const wchar_t* raw = ::GetCommandLineW();
    const std::u16string_view whole(reinterpret_cast<const char16_t*>(raw), std::wcslen(raw));
    Win32Clock clock;
    Win32FileSystem fileSystem(turnsUntil);
    fileSystem.SetStepGate(gate);
    Platform platform{clock, AfterProgramName(whole), fileSystem};
    return Main(platform);
  } catch (const std::bad_alloc&) {
    return ExitStatus::kFolderFailed;  // before the run began
  }
}

// Starts this program again as the worker, with the same command line, and waits for its
// status, within the run's bound. A process, not a thread: a process cannot end while one of
// its threads is stuck in the kernel (a hung network share), and the watcher makes no
// file-system call. Only the status the worker tells in the word counts: a worker ended from
// outside, or crashed, tells none, whatever its exit code. When no worker can be started, the
// run goes on in this process, without the bound.
ExitStatus Watch(std::chrono::steady_clock::time_point start) {
  const auto inProcess = [&] { return Work(TurnsUntil(start), nullptr); };
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
  // The mapping is made here, never found: one someone made beforehand is not the run's.
  const UniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                                  sizeof(Handover), HandoverName(part).c_str()));
  if (!pipe || !mapping || ::GetLastError() == ERROR_ALREADY_EXISTS) return inProcess();
  const MappedView view(mapping.Get());
  if (view.Get() == nullptr || !::SetEnvironmentVariableW(kWorkerPipe, part.c_str())) {
    return inProcess();
  }
  WorkerWord word(WorkerWord::MakeIn(&view.Get()->word));
  view.Get()->turnsUntil = TurnsUntil(start).time_since_epoch().count();
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
  if (::WaitForSingleObject(worker.Get(), wait) != WAIT_OBJECT_0) return word.GiveUp();
  return word.Told();
}

// The worker: the run, its steps claimed through the watcher's word and its turns timed from
// the watcher's start. A worker that cannot reach the mapping still makes the run, by its own
// start's time and without a gate; its watcher then tells status 7.
ExitStatus Worker(const std::wstring& part, std::chrono::steady_clock::time_point start) {
  const UniqueHandle mapping(
      ::OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, HandoverName(part).c_str()));
  const MappedView view(mapping.Get());
  if (view.Get() == nullptr) return Work(TurnsUntil(start), nullptr);
  WorkerWord word(view.Get()->word);
  const std::chrono::steady_clock::time_point turnsUntil(
      std::chrono::steady_clock::duration(view.Get()->turnsUntil));
  const ExitStatus status = Work(turnsUntil, &word);
  word.Tell(status);
  return status;
}

}  // namespace
}  // namespace calendario

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace calendario;
  const auto start = std::chrono::steady_clock::now();
  const std::wstring part = WorkerPart();
  return static_cast<int>(part.empty() ? Watch(start) : Worker(part, start));
}
