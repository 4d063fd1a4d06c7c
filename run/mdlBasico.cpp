#include "run/mdlBasico.h"

#include "fs/Text.h"

namespace calendario::mdlBasico {

Settings settings;

namespace {

// What the mirror file's place was last derived from, so that a new root can derive it again.
struct MirrorRule {
  std::u16string stamp;        // the run's date stamp
  bool namedByOption = false;  // a "-NA" placed it directly in the root folder
};
MirrorRule mirrorRule;

std::u16string MirrorInDatedFolder() {
  return settings.RootFolder + u"\\" + mirrorRule.stamp + u"\\" + settings.MirrorName;
}

std::u16string MirrorInRoot() {
  return settings.RootFolder + u"\\" + settings.MirrorName;
}

std::u16string TwoDigits(int value) {
  std::u16string text = Ascii(std::to_string(value));
  if (text.size() < 2) text.insert(text.begin(), u'0');
  return text;
}

// A step's three outcome texts, each ending in the space before its subject.
struct Outcomes {
  std::u16string_view alreadyExisted;
  std::u16string_view created;
  std::u16string_view failed;
};

constexpr Outcomes kFolderOutcomes{u"Ya exist\u00eda la carpeta ", u"Se ha creado la carpeta ",
                                   u"Error al crear la carpeta "};
constexpr Outcomes kMirrorOutcomes{u"Ya exist\u00eda el archivo ", u"Se ha creado el archivo ",
                                   u"Error al crear el archivo "};

std::u16string ReportLine(Clock& clock, const Outcomes& outcomes, CreationResult result,
                          std::u16string_view subject) {
  std::u16string line = clock.DateTimeText();
  line += u"  ||  ";
  switch (result) {
    case CreationResult::AlreadyExisted:
      line += outcomes.alreadyExisted;
      break;
    case CreationResult::Created:
      line += outcomes.created;
      break;
    case CreationResult::Failed:
      line += outcomes.failed;
      break;
  }
  line += subject;
  return line;
}

}  // namespace

std::u16string FolderLine(Clock& clock, CreationResult result, std::u16string_view folderPath) {
  return ReportLine(clock, kFolderOutcomes, result, folderPath);
}

std::u16string MirrorLine(Clock& clock, CreationResult result, std::u16string_view mirrorName) {
  return ReportLine(clock, kMirrorOutcomes, result, mirrorName);
}

void WriteReport(FileSystemLayer& layer, std::u16string_view message) {
  if (mdlFC::CreateFolderPath(layer, settings.ReportFolder) == CreationResult::Failed) return;
  // Another run's check, delete and append must not come between ours, or one of them could
  // delete a file the other has just started. Without the lock (another run holding it too
  // long, or a host that cannot lock there) the line is written all the same.
  FileLock lock;
  {
    FileSystemObject fso;
    if (!fso.Obtain(layer)) (void)fso.Lock(settings.ReportPath, lock);
  }
  File file = mdlFC::OpenFileObject(layer, settings.ReportPath);
  std::uint64_t size = 0;
  if (file.Size(size)) return;
  if (size > ReportLimit) {
    if (file.Delete(true)) return;
    // The line that found the file too large is the record of this run: it starts the new
    // file rather than being lost with the old one.
    file = mdlFC::OpenFileObject(layer, settings.ReportPath);
  }
  TextStream stream;
  if (file.OpenAsTextStream(kForAppending, kTristateFalse, stream)) return;
  if (stream.WriteLine(message)) return;
  (void)stream.Close();
}

std::u16string DateStamp(const LocalDate& date) {
  return Ascii(std::to_string(date.year)) + TwoDigits(date.month) + TwoDigits(date.day);
}

void LoadDefaults(std::u16string_view stamp) {
  settings.ReportName = u"InformeMorvane.txt";
  settings.MirrorName = u"Mirror.txt";
  settings.RootFolder = u"C:\\tmpCalendario";
  settings.ReportFolder = u"C:\\Informes";
  settings.ReportPath = settings.ReportFolder + u"\\" + settings.ReportName;
  mirrorRule = MirrorRule{std::u16string(stamp), false};
  settings.MirrorPath = MirrorInDatedFolder();
  settings.ReportEnabled = true;
}

void ApplyOption(std::u16string argument) {
  if (argument.size() < 3) return;
  const std::u16string_view key = std::u16string_view(argument).substr(0, 3);
  std::u16string value = argument.substr(3);
  if (key == u"-IN") {
    settings.ReportEnabled = value == u"si";
  } else if (key == u"-RC") {
    settings.RootFolder = std::move(value);
    settings.MirrorPath = mirrorRule.namedByOption ? MirrorInRoot() : MirrorInDatedFolder();
  } else if (key == u"-RI") {
    settings.ReportFolder = std::move(value);
    settings.ReportPath = settings.ReportFolder + u"\\" + settings.ReportName;
  } else if (key == u"-NA") {
    settings.MirrorName = std::move(value);
    settings.MirrorPath = MirrorInRoot();
    mirrorRule.namedByOption = true;
  }
}

ExitStatus Main(Platform& platform) {
  FileSystemLayer& layer = platform.fileSystem;
  const std::u16string stamp = DateStamp(platform.clock.Today());
  LoadDefaults(stamp);

  for (std::u16string& argument : mdlFC::GetCommandArgs(platform.commandLine)) {
    ApplyOption(std::move(argument));
  }

  if (settings.RootFolder.empty()) return ExitStatus::kDone;

  // Held, unused, until the run ends: without an instance there is no run.
  FileSystemObject instance;
  if (instance.Obtain(layer)) return ExitStatus::kNoFileSystem;

  const std::u16string folderPath = settings.RootFolder + u"\\" + stamp;
  const CreationResult folderResult = mdlFC::CreateFolderPath(layer, folderPath);

  // The line is composed, and the clock read for it, only when the report log is on.
  if (settings.ReportEnabled) {
    WriteReport(layer, FolderLine(platform.clock, folderResult, folderPath));
  }

  if (folderResult == CreationResult::Failed) return ExitStatus::kFolderFailed;

  const CreationResult mirrorResult = mdlFC::EnsureFile(layer, settings.MirrorPath);

  if (settings.ReportEnabled) {
    WriteReport(layer, MirrorLine(platform.clock, mirrorResult, settings.MirrorName));
  }

  if (mirrorResult == CreationResult::Failed) return ExitStatus::kMirrorFailed;
  if (mdlFC::AppendLine(layer, settings.MirrorPath, stamp) != mdlFC::kLineWritten) {
    return ExitStatus::kAppendFailed;
  }
  return ExitStatus::kDone;
}

}  // namespace calendario::mdlBasico
