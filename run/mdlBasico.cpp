#include "run/mdlBasico.h"

#include "fs/Text.h"

namespace calendario::mdlBasico {

Settings settings;

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

void LoadDefaults(std::u16string_view stamp) {
  settings.ReportName = u"InformeMorvane.txt";
  settings.MirrorName = u"Mirror.txt";
  settings.RootFolder = u"C:\\tmpCalendario";
  settings.ReportFolder = u"C:\\Informes";
  settings.ReportPath = settings.ReportFolder + u"\\" + settings.ReportName;
  settings.MirrorPath =
      settings.RootFolder + u"\\" + std::u16string(stamp) + u"\\" + settings.MirrorName;
  settings.ReportEnabled = true;
}

ExitStatus Main(Platform& platform) {
  FileSystemLayer& layer = platform.fileSystem;
  const std::u16string stamp = DateStamp(platform.clock.Today());
  LoadDefaults(stamp);

  // Command-line phase: the options change the settings here.

  if (settings.RootFolder.empty()) return ExitStatus::kDone;

  // Held, unused, until the run ends: without an instance there is no run.
  FileSystemObject instance;
  if (instance.Obtain(layer)) return ExitStatus::kNoFileSystem;

  const std::u16string folderPath = settings.RootFolder + u"\\" + stamp;
  const CreationResult folderResult = mdlFC::CreateFolderPath(layer, folderPath);

  // Folder report.

  if (folderResult == CreationResult::Failed) return ExitStatus::kFolderFailed;

  const CreationResult mirrorResult = mdlFC::EnsureFile(layer, settings.MirrorPath);

  // Mirror report.

  if (mirrorResult == CreationResult::Failed) return ExitStatus::kMirrorFailed;
  if (mdlFC::AppendLine(layer, settings.MirrorPath, stamp) != mdlFC::kLineWritten) {
    return ExitStatus::kAppendFailed;
  }
  return ExitStatus::kDone;
}

}  // namespace calendario::mdlBasico
