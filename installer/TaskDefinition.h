// The machine-wide task's action, as the MSI registers it: the program where it was installed
// and the options the installation was given, written into the shipped task definition before
// schtasks /Create /XML registers it. Pure text rules, tested on any host; the Windows
// Installer's side is installer/TaskActions_win32.cpp.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace calendario::installer {

// The four options of the MSI (ROOTFOLDER, REPORTFOLDER, MIRRORNAME, REPORTLOG), empty when not
// given.
struct TaskOptions {
  std::u16string rootFolder;
  std::u16string reportFolder;
  std::u16string mirrorName;
  std::u16string reportLog;
};

// What the task runs: the program, quoted, and its arguments (empty for none). `refusal` says,
// for the installation's log, why the action cannot be registered; the others are then empty.
struct TaskAction {
  std::u16string command;
  std::u16string arguments;
  std::u16string refusal;
};

// Lengths are counted in UTF-16 units, as Windows counts them.
// Task Scheduler's own limit on a command (its schema's pathType: fewer than 260 characters).
inline constexpr std::size_t kMaxCommand = 259;
// CreateProcess's limit on a whole command line, its terminating null included.
inline constexpr std::size_t kMaxCommandLine = 32767;

// The action for calendario.exe in `installDir` (with or without its final \), given `options`:
// one argument for each option that has a value (-RC, -RI, -NA, -IN, the value at once after
// the key), joined by single spaces. Refused when the command would pass Task Scheduler's
// limit, when the command and its arguments would pass CreateProcess's, or when a value holds
// a control character, which neither a task definition nor a command line can carry.
TaskAction MakeTaskAction(std::u16string_view installDir, const TaskOptions& options);

// `definition` with the contents of its one <Exec> element replaced by `action`'s <Command>
// and, when it has arguments, <Arguments>, both escaped for XML. Empty when `definition` has
// no <Exec> element, or more than one.
std::optional<std::u16string> WithTaskAction(std::u16string_view definition,
                                             const TaskAction& action);

}  // namespace calendario::installer
