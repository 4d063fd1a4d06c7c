// The run's settings: the built-in defaults every run starts from, which the command-line
// options then change. A value, passed to whoever reads it; nothing of it outlives the run.
#pragma once

#include <string>
#include <string_view>

namespace calendario {

struct Settings {
  std::u16string ReportName;    // the report file's name
  std::u16string MirrorName;    // the mirror file's name
  std::u16string RootFolder;    // today's folder is made in it
  std::u16string ReportFolder;  // the report file lies in it
  std::u16string ReportPath;    // ReportFolder, "\", ReportName
  std::u16string MirrorPath;    // where the mirror file is made and appended to
  bool ReportEnabled = true;    // whether report lines are written at all

  // What the mirror file's place is derived from again when "-RC" moves the root.
  std::u16string Stamp;              // the run's date stamp, which names the dated folder
  bool MirrorNamedByOption = false;  // a "-NA" placed the mirror file directly in the root
};

// The built-in settings for a run whose date stamp is `stamp`: the root C:\tmpCalendario,
// the mirror file Mirror.txt in today's folder under it, the report log
// C:\Informes\InformeMorvane.txt, switched on.
Settings LoadDefaults(std::u16string_view stamp);

// RootFolder "\" Stamp "\" MirrorName, or RootFolder "\" MirrorName after a "-NA".
std::u16string DeriveMirrorPath(const Settings& settings);

}  // namespace calendario
