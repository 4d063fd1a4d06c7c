#include "run/DailyRun.h"

#include <new>

#include "fs/FileHelpers.h"
#include "fs/Text.h"
#include "run/CommandLine.h"
#include "run/ReportLog.h"
#include "run/Settings.h"

namespace calendario {
namespace {

std::u16string TwoDigits(int value) {
  std::u16string text = Ascii(std::to_string(value));
  if (text.size() < 2) text.insert(text.begin(), u'0');
  return text;
}

}  // namespace

std::u16string DateStamp(const LocalDate& date) {
  return Ascii(std::to_string(date.year)) + TwoDigits(date.month) + TwoDigits(date.day);
}

namespace {

// Writes the line `compose` makes, when the report log is on: only then is it composed and the
// clock read for it. False when the line was due and not written (no memory to compose it
// counts too).
template <typename Compose>
bool Report(FileSystemLayer& layer, const Settings& settings, Compose compose) {
  if (!settings.ReportEnabled) return true;
  try {
    return WriteReport(layer, settings.ReportFolder, settings.ReportPath, compose());
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

// An allocation failure is the failure of the step it happens in: its status, and its Error
// line where one can still be written.
ExitStatus Main(Platform& platform) {
  FileSystemLayer& layer = platform.fileSystem;
  std::u16string stamp;
  Settings settings;
  try {
    stamp = DateStamp(platform.clock.Today());
    settings = LoadDefaults(stamp);
    for (std::u16string& argument : GetCommandArgs(platform.commandLine)) {
      ApplyOption(settings, std::move(argument));
    }
  } catch (const std::bad_alloc&) {
    return ExitStatus::kFolderFailed;  // nothing made and nothing reported
  }

  if (settings.RootFolder.empty()) return ExitStatus::kDone;

  // Without an instance of the component there is no run.
  try {
    if (layer.Obtain()) return ExitStatus::kNoFileSystem;
  } catch (const std::bad_alloc&) {
    return ExitStatus::kNoFileSystem;
  }

  std::u16string folderPath;
  CreationResult folderResult = CreationResult::Failed;
  try {
    folderPath = settings.RootFolder + u"\\" + stamp;
    folderResult = CreateFolderPath(layer, folderPath);
  } catch (const std::bad_alloc&) {
  }
  bool reported =
      Report(layer, settings, [&] { return FolderLine(platform.clock, folderResult, folderPath); });

  if (folderResult == CreationResult::Failed) return ExitStatus::kFolderFailed;

  const CreationResult mirrorResult = EnsureFile(layer, settings.MirrorPath);
  reported &= Report(layer, settings,
                     [&] { return MirrorLine(platform.clock, mirrorResult, settings.MirrorName); });

  if (mirrorResult == CreationResult::Failed) return ExitStatus::kMirrorFailed;
  if (AppendLine(layer, settings.MirrorPath, stamp) != kLineWritten) {
    return ExitStatus::kAppendFailed;
  }
  return reported ? ExitStatus::kDone : ExitStatus::kReportFailed;
}

}  // namespace calendario
