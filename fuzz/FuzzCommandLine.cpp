// The tokenizer with the options applied: any command line splits into at most ten arguments
// without spaces or tabs, and no option touches the report file's name.
#include "fuzz/FuzzInput.h"
#include "run/CommandLine.h"

using namespace calendario;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::u16string line = fuzz::Text(data, size);
  const auto args = GetCommandArgs(line);
  fuzz::Check(!args.empty() && args.size() <= 11 && args[0].empty());
  for (std::size_t i = 1; i < args.size(); ++i) {
    fuzz::Check(!args[i].empty());
    for (char16_t c : args[i]) fuzz::Check(c != u' ' && c != u'\t');
  }
  Settings s = LoadDefaults(u"20240307");
  for (const auto& arg : args) ApplyOption(s, arg);
  fuzz::Check(s.ReportName == u"InformeMorvane.txt");
  fuzz::Check(s.ReportPath == s.ReportFolder + u"\\" + s.ReportName);
  const std::u16string tail = u"\\" + s.MirrorName;
  fuzz::Check(s.MirrorPath.size() >= tail.size() &&
              s.MirrorPath.compare(s.MirrorPath.size() - tail.size(), tail.size(), tail) == 0);
  fuzz::Check(s.MirrorPath.rfind(s.RootFolder + u"\\", 0) == 0);
  return 0;
}
