#include "installer/TaskDefinition.h"

namespace calendario::installer {
namespace {

bool HasControlCharacter(std::u16string_view text) {
  for (char16_t c : text) {
    if (c < u' ' || c == u'\x7f') return true;
  }
  return false;
}

std::u16string EscapedForXml(std::u16string_view text) {
  std::u16string escaped;
  escaped.reserve(text.size());
  for (char16_t c : text) {
    switch (c) {
      case u'&':
        escaped += u"&amp;";
        break;
      case u'<':
        escaped += u"&lt;";
        break;
      case u'>':
        escaped += u"&gt;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

TaskAction Refused(std::u16string reason) {
  TaskAction refused;
  refused.refusal = std::move(reason);
  return refused;
}

}  // namespace

TaskAction MakeTaskAction(std::u16string_view installDir, const TaskOptions& options) {
  TaskAction action;
  const struct {
    std::u16string_view key, name;
    const std::u16string& value;
  } arguments[] = {{u"-RC", u"ROOTFOLDER", options.rootFolder},
                   {u"-RI", u"REPORTFOLDER", options.reportFolder},
                   {u"-NA", u"MIRRORNAME", options.mirrorName},
                   {u"-IN", u"REPORTLOG", options.reportLog}};
  for (const auto& argument : arguments) {
    if (argument.value.empty()) continue;
    if (HasControlCharacter(argument.value)) {
      return Refused(std::u16string(argument.name) +
                     u" holds a control character, which a task cannot carry.");
    }
    if (!action.arguments.empty()) action.arguments += u' ';
    action.arguments.append(argument.key).append(argument.value);
  }
  if (HasControlCharacter(installDir)) {
    return Refused(u"INSTALLDIR holds a control character, which a task cannot carry.");
  }
  action.command = u"\"";
  action.command.append(installDir);
  if (action.command.back() != u'\\') action.command += u'\\';
  action.command += u"calendario.exe\"";
  if (action.command.size() > kMaxCommand) {
    return Refused(u"The task cannot run " + action.command +
                   u": Task Scheduler takes a program of fewer than 260 characters. Choose a "
                   u"shorter INSTALLDIR.");
  }
  // The command, a space, the arguments and the terminating null.
  if (action.command.size() + 1 + action.arguments.size() + 1 > kMaxCommandLine) {
    return Refused(
        u"The task's command line would pass the 32767 characters Windows allows: shorten "
        u"ROOTFOLDER, REPORTFOLDER, MIRRORNAME or REPORTLOG.");
  }
  return action;
}

std::optional<std::u16string> WithTaskAction(std::u16string_view definition,
                                             const TaskAction& action) {
  constexpr std::u16string_view kOpen = u"<Exec>", kClose = u"</Exec>";
  const std::size_t open = definition.find(kOpen);
  if (open == std::u16string_view::npos ||
      definition.find(kOpen, open + 1) != std::u16string_view::npos) {
    return std::nullopt;
  }
  const std::size_t close = definition.find(kClose, open);
  if (close == std::u16string_view::npos) return std::nullopt;
  std::u16string result(definition.substr(0, open + kOpen.size()));
  result += u"\r\n      <Command>" + EscapedForXml(action.command) + u"</Command>";
  if (!action.arguments.empty()) {
    result += u"\r\n      <Arguments>" + EscapedForXml(action.arguments) + u"</Arguments>";
  }
  result += u"\r\n    ";
  result.append(definition.substr(close));
  return result;
}

}  // namespace calendario::installer
