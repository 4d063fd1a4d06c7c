#include <gtest/gtest.h>

#include "fs/Text.h"
#include "run/CommandLine.h"
#include "run/DailyRun.h"
#include "tests/FakeFileSystem.h"
#include "tests/FakeRun.h"
#include "tests/RealDisk.h"
#include "tests/TestClock.h"

namespace calendario {
namespace {

using testing::FakeFileSystem;
using testing::TestClock;
using Args = std::vector<std::u16string>;

using testing::k7March2024;
using testing::kTime;

TEST(CommandArgs, SplitsAtSpacesAndTabsOnly) {
  struct Case {
    std::u16string line;
    Args args;
  };
  const Case cases[] = {
      {u"", {u""}},
      {u" \t  \t", {u""}},
      {u"-INsi \t  -NAx.txt", {u"", u"-INsi", u"-NAx.txt"}},
      {u"\t lead   trail ", {u"", u"lead", u"trail"}},
      {u"-RC\"C:\\Mis Datos\"", {u"", u"-RC\"C:\\Mis", u"Datos\""}},
      {u"a\nb\u00a0c", {u"", u"a\nb\u00a0c"}},  // only space and tab separate
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.line));
    EXPECT_EQ(GetCommandArgs(c.line), c.args);
  }
}

TEST(CommandArgs, TakesAtMostMaxArgsAndDropsTheRest) {
  EXPECT_EQ(GetCommandArgs(u"1 2 3 4 5 6 7 8 9 10 11 12"),
            (Args{u"", u"1", u"2", u"3", u"4", u"5", u"6", u"7", u"8", u"9", u"10"}));
  EXPECT_EQ(GetCommandArgs(u"a b c", 2), (Args{u"", u"a", u"b"}));
  EXPECT_EQ(GetCommandArgs(u"a b c", 0), Args{u""});
  EXPECT_EQ(GetCommandArgs(u"a b", SIZE_MAX), (Args{u"", u"a", u"b"}));
}

TEST(CommandArgs, TheWindowsProgramNameIsCutByWindowsRule) {
  const std::pair<std::u16string, std::u16string> cases[] = {
      {u"\"C:\\Program Files\\calendario.exe\" -RCD:\\x", u" -RCD:\\x"},
      {u"\"C:\\a b\\cal.exe\"-INno", u"-INno"},  // the name ends at the closing quote
      {u"calendario.exe\t-INno -NA\"x\"", u"\t-INno -NA\"x\""},
      {u"calendario.exe", u""},
      {u"\"unterminated -INno", u""},
      {u"", u""},
  };
  for (const auto& [line, tail] : cases) {
    SCOPED_TRACE(Utf16ToUtf8(line));
    EXPECT_EQ(AfterProgramName(line), tail);
  }
}

class Options : public ::testing::Test {
 protected:
  void Apply(std::initializer_list<std::u16string> args) {
    for (const auto& arg : args) ApplyOption(settings, arg);
  }
  Settings settings = LoadDefaults(u"20240307");
};

TEST_F(Options, ReportLogIsOnOnlyForSi) {
  const std::pair<std::u16string, bool> cases[] = {
      {u"-INsi", true}, {u"-INno", false}, {u"-INSI", false}, {u"-IN", false}, {u"-INsi ", false}};
  for (const auto& [arg, enabled] : cases) {
    SCOPED_TRACE(Utf16ToUtf8(arg));
    settings = LoadDefaults(u"20240307");
    ApplyOption(settings, arg);
    EXPECT_EQ(settings.ReportEnabled, enabled);
  }
}

TEST_F(Options, UnknownShortAndLowerCaseArgumentsChangeNothing) {
  const Settings before = settings;
  Apply({u"", u"-", u"-R", u"-in", u"-rcD:\\x", u"-riD:\\y", u"-nax", u"-XXz", u"RC-D:\\x",
         u" -RCx"});
  EXPECT_EQ(settings.RootFolder, before.RootFolder);
  EXPECT_EQ(settings.ReportFolder, before.ReportFolder);
  EXPECT_EQ(settings.ReportPath, before.ReportPath);
  EXPECT_EQ(settings.MirrorName, before.MirrorName);
  EXPECT_EQ(settings.MirrorPath, before.MirrorPath);
  EXPECT_EQ(settings.ReportEnabled, before.ReportEnabled);
}

TEST_F(Options, TheLastReportFolderWins) {
  Apply({u"-RID:\\Uno", u"-RID:\\Dos"});
  EXPECT_EQ(settings.ReportFolder, u"D:\\Dos");
  EXPECT_EQ(settings.ReportPath, u"D:\\Dos\\InformeMorvane.txt");
  Apply({u"-RI"});
  EXPECT_EQ(settings.ReportPath, u"\\InformeMorvane.txt");
  EXPECT_EQ(settings.ReportName, u"InformeMorvane.txt");
}

TEST_F(Options, TheMirrorFileFollowsTheRootFolder) {
  Apply({u"-RCD:\\Datos"});
  EXPECT_EQ(settings.MirrorPath, u"D:\\Datos\\20240307\\Mirror.txt");
  settings = LoadDefaults(u"20240307");
  Apply({u"-NAx.txt", u"-RCD:\\Datos"});
  EXPECT_EQ(settings.MirrorPath, u"D:\\Datos\\x.txt");
  settings = LoadDefaults(u"20240307");
  Apply({u"-RCD:\\Datos", u"-NAx.txt"});
  EXPECT_EQ(settings.MirrorPath, u"D:\\Datos\\x.txt");
  EXPECT_EQ(settings.MirrorName, u"x.txt");
  settings = LoadDefaults(u"20240307");  // a new run forgets the last one's "-NA"
  Apply({u"-RCE:\\"});
  EXPECT_EQ(settings.MirrorPath, u"E:\\\\20240307\\Mirror.txt");
}

using OptionsInARun = testing::FakeRun;

TEST_F(OptionsInARun, ABareRootEndsTheRunBeforeAnythingIsTouched) {
  EXPECT_EQ(Run(u"-INsi -RC"), ExitStatus::kDone);
  EXPECT_EQ(fs.Calls(), 0);
}

TEST_F(OptionsInARun, ABareReportFolderPutsTheReportAtTheTopOfTheDrive) {
  EXPECT_EQ(Run(u"-RI"), ExitStatus::kDone);
  EXPECT_EQ(fs.Contents(u"\\InformeMorvane.txt"),
            kTime + "Se ha creado la carpeta C:\\tmpCalendario\\20240307\r\n" + kTime +
                "Se ha creado el archivo Mirror.txt\r\n");
}

TEST_F(OptionsInARun, ABareMirrorNameFailsTheMirrorStepWithAnEmptySubject) {
  EXPECT_EQ(Run(u"-NA"), ExitStatus::kMirrorFailed);
  EXPECT_EQ(fs.Contents(u"C:\\Informes\\InformeMorvane.txt"),
            kTime + "Se ha creado la carpeta C:\\tmpCalendario\\20240307\r\n" + kTime +
                "Error al crear el archivo \r\n");
  for (const auto& call : fs.Log())
    EXPECT_NE(call.rfind("OpenAsTextStream C:\\tmpCalendario", 0), 0u);
}

TEST_F(OptionsInARun, ABareDriveAsRootPutsTheFolderAtItsTop) {
  EXPECT_EQ(Run(u"-RCC:"), ExitStatus::kDone);
  EXPECT_TRUE(fs.IsFolder(u"C:\\20240307"));
  EXPECT_EQ(fs.Contents(u"C:\\20240307\\Mirror.txt"), "20240307\r\n");
}

TEST_F(OptionsInARun, WithTheReportLogOffNothingOfItIsTouched) {
  fs.AddFile(u"C:\\Informes\\InformeMorvane.txt", "old\r\n");
  const int callsBefore = fs.Calls();
  EXPECT_EQ(Run(u"-INno"), ExitStatus::kDone);
  EXPECT_EQ(fs.Contents(u"C:\\Informes\\InformeMorvane.txt"), "old\r\n");
  for (const auto& call : fs.Log()) EXPECT_EQ(call.find("Informe"), std::string::npos);
  EXPECT_EQ(clock.dateTimeReads, 0);
  EXPECT_GT(fs.Calls(), callsBefore);

  FakeFileSystem fresh;
  EXPECT_EQ(Run(fresh, u"-INno"), ExitStatus::kDone);
  EXPECT_FALSE(fresh.IsFolder(u"C:\\Informes"));
}

TEST_F(OptionsInARun, OnlyTheFirstTenArgumentsCount) {
  EXPECT_EQ(Run(u"1 2 3 4 5 6 7 8 9 10 -RCD:\\nunca"), ExitStatus::kDone);
  EXPECT_TRUE(fs.IsFolder(u"C:\\tmpCalendario\\20240307"));
}

class OptionsOnDisk : public testing::RealDisk {
 protected:
  ExitStatus Run(std::u16string_view commandLine) {
    Platform platform{clock, commandLine, Layer()};
    return Main(platform);
  }
  TestClock clock{k7March2024};
};

TEST_F(OptionsOnDisk, RootAndReportFolderCanBeAnywhere) {
  const std::u16string line = u"-RC" + Win(u"Datos\\A\u00f1o") + u" -RI" + Win(u"Informes");
  EXPECT_EQ(Run(line), ExitStatus::kDone);
  EXPECT_EQ(Read(u"Datos\\A\u00f1o\\20240307\\Mirror.txt"), "20240307\r\n");
  const std::string folder = Utf16ToWindows1252(Win(u"Datos\\A\u00f1o\\20240307"));
  EXPECT_EQ(Read(u"Informes\\InformeMorvane.txt"), kTime + "Se ha creado la carpeta " + folder +
                                                       "\r\n" + kTime +
                                                       "Se ha creado el archivo Mirror.txt\r\n");
}

TEST_F(OptionsOnDisk, ReportLogOffLeavesTheReportFileByteIdentical) {
  MakeFolder(u"Informes");
  Write(u"Informes\\InformeMorvane.txt", "antes\r\n");
  const auto before = std::filesystem::last_write_time(Host(u"Informes\\InformeMorvane.txt"));
  EXPECT_EQ(Run(u"-INno -RC" + Win(u"Datos") + u" -RI" + Win(u"Informes")), ExitStatus::kDone);
  EXPECT_EQ(Read(u"Informes\\InformeMorvane.txt"), "antes\r\n");
  EXPECT_EQ(std::filesystem::last_write_time(Host(u"Informes\\InformeMorvane.txt")), before);
  EXPECT_EQ(Run(u"-INno -RC" + Win(u"Datos") + u" -RI" + Win(u"Otros")), ExitStatus::kDone);
  EXPECT_FALSE(Exists(u"Otros"));
}

TEST_F(OptionsOnDisk, TheMirrorNameOptionPutsTheFileInTheRoot) {
  EXPECT_EQ(Run(u"-NAespejo.txt -RC" + Win(u"Datos") + u" -RI" + Win(u"Informes")),
            ExitStatus::kDone);
  EXPECT_EQ(Read(u"Datos\\espejo.txt"), "20240307\r\n");
  EXPECT_TRUE(IsFolder(u"Datos\\20240307"));
}

}  // namespace
}  // namespace calendario
