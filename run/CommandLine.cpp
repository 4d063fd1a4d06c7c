#include "run/CommandLine.h"

#include <algorithm>

namespace calendario {

std::u16string_view AfterProgramName(std::u16string_view commandLine) {
  std::size_t i = 0;
  if (!commandLine.empty() && commandLine[0] == u'"') {
    const std::size_t close = commandLine.find(u'"', 1);
    i = close == std::u16string_view::npos ? commandLine.size() : close + 1;
  } else {
    while (i < commandLine.size() && commandLine[i] != u' ' && commandLine[i] != u'\t') ++i;
  }
  return commandLine.substr(i);
}

std::vector<std::u16string> GetCommandArgs(std::u16string_view commandLine, std::size_t maxArgs) {
  std::vector<std::u16string> args(1);
  // No more entries than the text can hold, however large maxArgs is.
  args.reserve(1 + std::min(maxArgs, commandLine.size() / 2 + 1));
  bool inArgument = false;
  for (char16_t c : commandLine) {
    if (c != u' ' && c != u'\t') {
      if (!inArgument) {
        if (args.size() - 1 == maxArgs) break;
        args.emplace_back();
        inArgument = true;
      }
      args.back().push_back(c);
    } else {
      inArgument = false;
    }
  }
  return args;
}

void ApplyOption(Settings& settings, std::u16string argument) {
  if (argument.size() < 3) return;
  const std::u16string_view key = std::u16string_view(argument).substr(0, 3);
  std::u16string value = argument.substr(3);
  if (key == u"-IN") {
    settings.ReportEnabled = value == u"si";
  } else if (key == u"-RC") {
    settings.RootFolder = std::move(value);
    settings.MirrorPath = DeriveMirrorPath(settings);
  } else if (key == u"-RI") {
    settings.ReportFolder = std::move(value);
    settings.ReportPath = settings.ReportFolder + u"\\" + settings.ReportName;
  } else if (key == u"-NA") {
    settings.MirrorName = std::move(value);
    settings.MirrorNamedByOption = true;
    settings.MirrorPath = DeriveMirrorPath(settings);
  }
}

}  // namespace calendario
