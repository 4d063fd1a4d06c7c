#include "run/DailyRun.h"

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

ExitStatus Main(Platform& platform) {
  FileSystemLayer& layer = platform.fileSystem;
  const std::u16string stamp = DateStamp(platform.clock.Today());
  Settings settings = LoadDefaults(stamp);

  for (std::u16string& argument : GetCommandArgs(platform.commandLine)) {
    ApplyOption(settings, std::move(argument));
  }

  if (settings.RootFolder.empty()) return ExitStatus::kDone;

  // Without an instance of the component there is no run.
  if (layer.Obtain()) return ExitStatus::kNoFileSystem;

  const std::u16string folderPath = settings.RootFolder + u"\\" + stamp;
  const CreationResult folderResult = CreateFolderPath(layer, folderPath);

  // The line is composed, and the clock read for it, only when the report log is on.
  if (settings.ReportEnabled) {
    WriteReport(layer, settings.ReportFolder, settings.ReportPath,
                FolderLine(platform.clock, folderResult, folderPath));
  }

  if (folderResult == CreationResult::Failed) return ExitStatus::kFolderFailed;

  const CreationResult mirrorResult = EnsureFile(layer, settings.MirrorPath);

  if (settings.ReportEnabled) {
    WriteReport(layer, settings.ReportFolder, settings.ReportPath,
                MirrorLine(platform.clock, mirrorResult, settings.MirrorName));
  }

  if (mirrorResult == CreationResult::Failed) return ExitStatus::kMirrorFailed;
  if (AppendLine(layer, settings.MirrorPath, stamp) != kLineWritten) {
    return ExitStatus::kAppendFailed;
  }
  return ExitStatus::kDone;
}

}  // namespace calendario
