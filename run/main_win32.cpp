// The Windows process entry: a GUI-subsystem program with no window and no console. Started
// by a scheduler it is the watcher: it starts itself again as the worker, which makes the run,
// and bounds it; the two share the word of run/WorkerWord.h, and the watcher's deadline, in a
// mapping handed to the worker alone.
// The worker hands Main the local clock, the Unicode command line after the program's name,
// and the Win32 file-system backend; the exit status is Main's.
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

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

// What the watcher hands its worker: the word, and the watcher's deadline for the worker's
// turns (steady_clock is the system's performance counter, so a moment means the same in both
// processes). It lies in a file mapping of one page that has no name and is handed to the worker
// alone, as its standard input: no variable a caller sets and no name another process makes or
// opens can make a start a worker, or speak for one.
struct Handover {
  WorkerWord::Word word;
  std::chrono::steady_clock::rep turnsUntil;
};
constexpr DWORD kHandoverSize = 4096;

// The handover in `mapping` when it is a file mapping of one page, mapped here until the process
// ends; null otherwise.
Handover* MapHandover(HANDLE mapping) {
  void* view = ::MapViewOfFile(mapping, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0);
  MEMORY_BASIC_INFORMATION region;
  if (view != nullptr && ::VirtualQuery(view, &region, sizeof region) == sizeof region &&
      region.RegionSize == kHandoverSize) {
    return static_cast<Handover*>(view);
  }
  if (view != nullptr) ::UnmapViewOfFile(view);
  return nullptr;
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
  SECURITY_ATTRIBUTES inheritable{sizeof inheritable, nullptr, TRUE};
  const UniqueHandle mapping(::CreateFileMappingW(INVALID_HANDLE_VALUE, &inheritable,
                                                  PAGE_READWRITE, 0, kHandoverSize, nullptr));
  Handover* handover = MapHandover(mapping.Get());
  if (handover == nullptr) return inProcess();
  WorkerWord word(WorkerWord::MakeIn(&handover->word));
  handover->turnsUntil = TurnsUntil(start).time_since_epoch().count();
  // The worker inherits the mapping and nothing else.
  HANDLE handed = mapping.Get();
  SIZE_T size = 0;
  ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  std::vector<std::uintptr_t> list((size + sizeof(std::uintptr_t) - 1) / sizeof(std::uintptr_t));
  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = handed;
  startup.lpAttributeList = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
  if (!::InitializeProcThreadAttributeList(startup.lpAttributeList, 1, 0, &size) ||
      !::UpdateProcThreadAttribute(startup.lpAttributeList, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST,
                                   &handed, sizeof handed, nullptr, nullptr)) {
    return inProcess();
  }
  std::wstring commandLine = ::GetCommandLineW();
  PROCESS_INFORMATION started{};
  const BOOL created = ::CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                                        EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                                        &startup.StartupInfo, &started);
  ::DeleteProcThreadAttributeList(startup.lpAttributeList);
  if (!created) return inProcess();
  const UniqueHandle worker(started.hProcess);
  const UniqueHandle thread(started.hThread);
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(start + kRunBound -
                                                                 std::chrono::steady_clock::now());
  const DWORD wait = left.count() > 0 ? static_cast<DWORD>(left.count()) : 0;
  if (::WaitForSingleObject(worker.Get(), wait) != WAIT_OBJECT_0) return word.GiveUp();
  return word.Told();
}

// The worker: the run, its steps claimed through the watcher's word and its turns timed from
// the watcher's start.
ExitStatus Worker(Handover& handover) {
  WorkerWord word(handover.word);
  const std::chrono::steady_clock::time_point turnsUntil(
      std::chrono::steady_clock::duration(handover.turnsUntil));
  const ExitStatus status = Work(turnsUntil, &word);
  word.Tell(status);
  return status;
}

}  // namespace
}  // namespace calendario

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace calendario;
  const auto start = std::chrono::steady_clock::now();
  Handover* handover = MapHandover(::GetStdHandle(STD_INPUT_HANDLE));
  return static_cast<int>(handover == nullptr ? Watch(start) : Worker(*handover));
}
