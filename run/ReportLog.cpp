#include "run/ReportLog.h"

#include <new>

namespace calendario {
namespace {

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
  // The report holds report lines only: a control character in the subject (a CR or LF
  // given in an argument, say) would start what looks like another line.
  for (char16_t c : subject) {
    const bool control = c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F);
    line += control ? u'?' : c;
  }
  return line;
}

}  // namespace

std::u16string FolderLine(Clock& clock, CreationResult result, std::u16string_view folderPath) {
  return ReportLine(clock, kFolderOutcomes, result, folderPath);
}

std::u16string MirrorLine(Clock& clock, CreationResult result, std::u16string_view mirrorName) {
  return ReportLine(clock, kMirrorOutcomes, result, mirrorName);
}

bool WriteReport(FileSystemLayer& layer, std::u16string_view reportFolder,
                 std::u16string_view reportPath, std::u16string_view message) try {
  if (CreateFolderPath(layer, reportFolder) == CreationResult::Failed) return false;
  // Another run's check, delete and append must not come between ours, or one of them could
  // write into a file the other is about to delete: the file's turn is held throughout, and a
  // run that cannot have it (in the run's bound) writes no line rather than risk that.
  const Step step = layer.BeginStep();
  FileLock lock;
  if (!step || layer.Obtain() || Lock(layer, reportPath, lock)) return false;
  File file = OpenFileObject(layer, reportPath);
  FileMeasure measured;
  if (file.Size(measured)) return false;
  // Only the file measured goes, unchanged. One another writer made or added to meanwhile (one
  // that does not take turns) is left to grow past the bound a little, until a later run; the
  // line goes to whatever file is at the path then.
  if (measured.bytes > ReportLimit) {
    const std::error_code deleted = file.Delete(true, &measured);
    if (deleted && deleted != FsErrc::kChanged) return false;
    // The line that found the file too large is the record of this run: it starts the new
    // file rather than being lost with the old one.
    file = OpenFileObject(layer, reportPath);
  }
  TextStream stream;
  if (file.OpenAsTextStream(kForAppending, kTristateFalse, stream)) return false;
  if (stream.WriteLine(message)) return false;
  return !stream.Close();
} catch (const std::bad_alloc&) {
  return false;
}

}  // namespace calendario
