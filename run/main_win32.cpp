// The Windows process entry: a GUI-subsystem program with no window and no console. It hands
// Main the local clock, the Unicode command line after the program's name, and the Win32
// file-system backend; the exit status is Main's.
#include <windows.h>

#include <cwchar>
#include <string>

#include "fs/FileSystemWin32.h"
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

// Ends the process with kTimedOut once the run has taken kRunSeconds: an unattended run that
// meets something that blocks (a stalled network share) must still end.
DWORD WINAPI EndAtTheDeadline(void*) {
  ::Sleep(kRunSeconds * 1000);
  ::ExitProcess(static_cast<UINT>(ExitStatus::kTimedOut));
}

}  // namespace
}  // namespace calendario

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace calendario;
  const wchar_t* raw = ::GetCommandLineW();
  const std::u16string_view whole(reinterpret_cast<const char16_t*>(raw), std::wcslen(raw));
  if (const HANDLE watchdog = ::CreateThread(nullptr, 0, EndAtTheDeadline, nullptr, 0, nullptr)) {
    ::CloseHandle(watchdog);
  }
  Win32Clock clock;
  Win32FileSystem fileSystem;
  Platform platform{clock, AfterProgramName(whole), fileSystem};
  return static_cast<int>(Main(platform));
}
