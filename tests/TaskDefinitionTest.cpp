#include "installer/TaskDefinition.h"

#include <gtest/gtest.h>

#include <string>

namespace calendario::installer {
namespace {

std::string Narrow(std::u16string_view text) {
  std::string narrow;
  for (char16_t c : text) narrow += c < 0x80 ? static_cast<char>(c) : '?';
  return narrow;
}

TEST(TaskDefinition, ActionNamesTheInstalledProgramAndTheOptionsGiven) {
  const std::u16string deep(259 - std::u16string_view(u"\"\\calendario.exe\"").size(), u'a');
  const struct {
    const char* name;
    std::u16string installDir;
    TaskOptions options;
    std::u16string command, arguments;
    bool refused;
  } rows[] = {
      {"default folder, no option",
       u"C:\\Program Files\\calendario\\",
       {},
       u"\"C:\\Program Files\\calendario\\calendario.exe\"",
       u"",
       false},
      {"another folder, no final backslash",
       u"C:\\Tools\\calendario",
       {},
       u"\"C:\\Tools\\calendario\\calendario.exe\"",
       u"",
       false},
      {"the four options, in the program's order, a final backslash kept",
       u"D:\\Apps\\",
       {u"D:\\Datos\\", u"D:\\Registro", u"Espejo.txt", u"no"},
       u"\"D:\\Apps\\calendario.exe\"",
       u"-RCD:\\Datos\\ -RID:\\Registro -NAEspejo.txt -INno",
       false},
      {"only the options that have a value",
       u"C:\\x\\",
       {u"", u"", u"", u"si"},
       u"\"C:\\x\\calendario.exe\"",
       u"-INsi",
       false},
      {"a command of 259 characters", deep, {}, u"\"" + deep + u"\\calendario.exe\"", u"", false},
      {"a command of 260 characters", deep + u"b", {}, u"", u"", true},
      {"a command line past 32767 characters",
       u"C:\\x\\",
       {std::u16string(32760, u'r'), u"", u"", u""},
       u"",
       u"",
       true},
      {"a line end in a value", u"C:\\x\\", {u"D:\\a\nb", u"", u"", u""}, u"", u"", true},
      {"a control character in the folder", u"C:\\a\x01\\", {}, u"", u"", true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const TaskAction action = MakeTaskAction(row.installDir, row.options);
    EXPECT_EQ(Narrow(action.command), Narrow(row.command));
    EXPECT_EQ(Narrow(action.arguments), Narrow(row.arguments));
    EXPECT_EQ(!action.refusal.empty(), row.refused) << Narrow(action.refusal);
  }
}

TEST(TaskDefinition, ExecHoldsTheActionEscapedAndNothingElse) {
  const std::u16string shipped =
      u"<Task>\r\n  <Actions>\r\n    <Exec>\r\n      <Command>\"C:\\old.exe\"</Command>\r\n"
      u"      <Arguments>-INno</Arguments>\r\n    </Exec>\r\n  </Actions>\r\n</Task>\r\n";
  const auto written =
      WithTaskAction(shipped, {u"\"C:\\A&B\\calendario.exe\"", u"-RCD:\\<x>", u""});
  ASSERT_TRUE(written);
  EXPECT_EQ(Narrow(*written),
            "<Task>\r\n  <Actions>\r\n    <Exec>\r\n"
            "      <Command>\"C:\\A&amp;B\\calendario.exe\"</Command>\r\n"
            "      <Arguments>-RCD:\\&lt;x&gt;</Arguments>\r\n    </Exec>\r\n  "
            "</Actions>\r\n</Task>\r\n");
  const auto bare = WithTaskAction(*written, {u"\"C:\\y.exe\"", u"", u""});
  ASSERT_TRUE(bare);
  EXPECT_EQ(bare->find(u"Arguments"), std::u16string::npos);
  EXPECT_FALSE(WithTaskAction(u"<Task></Task>", {u"\"C:\\y.exe\"", u"", u""}));
  EXPECT_FALSE(WithTaskAction(u"<Exec></Exec><Exec></Exec>", {u"\"C:\\y.exe\"", u"", u""}));
}

}  // namespace
}  // namespace calendario::installer
