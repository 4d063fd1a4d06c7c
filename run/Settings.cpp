#include "run/Settings.h"

namespace calendario {

Settings LoadDefaults(std::u16string_view stamp) {
  Settings settings;
  settings.ReportName = u"InformeMorvane.txt";
  settings.MirrorName = u"Mirror.txt";
  settings.RootFolder = u"C:\\tmpCalendario";
  settings.ReportFolder = u"C:\\Informes";
  settings.ReportPath = settings.ReportFolder + u"\\" + settings.ReportName;
  settings.Stamp = stamp;
  settings.MirrorPath = DeriveMirrorPath(settings);
  settings.ReportEnabled = true;
  return settings;
}

std::u16string DeriveMirrorPath(const Settings& settings) {
  if (settings.MirrorNamedByOption) return settings.RootFolder + u"\\" + settings.MirrorName;
  return settings.RootFolder + u"\\" + settings.Stamp + u"\\" + settings.MirrorName;
}

}  // namespace calendario
