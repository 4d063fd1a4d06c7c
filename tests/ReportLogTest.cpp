#include <gtest/gtest.h>

#include <algorithm>

#include "fs/Text.h"
#include "run/DailyRun.h"
#include "run/ReportLog.h"
#include "tests/FakeFileSystem.h"
#include "tests/FakeRun.h"
#include "tests/RealDisk.h"
#include "tests/TestClock.h"

namespace calendario {
namespace {

using testing::FakeFileSystem;
using testing::FsOperation;
using testing::OperationName;
using testing::TestClock;

using testing::kFolder;
using testing::kMirror;
using testing::kReport;
using testing::kTime;
using ReportLog = testing::FakeRun;

TEST_F(ReportLog, EachOutcomeHasItsLineByteForByte) {
  EXPECT_EQ(Run(), ExitStatus::kDone);
  EXPECT_EQ(fs.Contents(kReport), kTime +
                                      "Se ha creado la carpeta C:\\tmpCalendario\\20240307\r\n" +
                                      kTime + "Se ha creado el archivo Mirror.txt\r\n");
  EXPECT_EQ(clock.dateTimeReads, 2);  // read afresh for each line

  FakeFileSystem again;
  again.AddFolder(kFolder);
  again.AddFile(kMirror, "");
  EXPECT_EQ(Run(again), ExitStatus::kDone);
  EXPECT_EQ(again.Contents(kReport), kTime +
                                         "Ya exist\xed"
                                         "a la carpeta C:\\tmpCalendario\\20240307\r\n" +
                                         kTime +
                                         "Ya exist\xed"
                                         "a el archivo Mirror.txt\r\n");
}

TEST_F(ReportLog, AFailedFolderStepWritesItsLineAndNothingMore) {
  fs.AddFile(u"C:\\tmpCalendario", "");
  EXPECT_EQ(Run(), ExitStatus::kFolderFailed);
  EXPECT_EQ(fs.Contents(kReport),
            kTime + "Error al crear la carpeta C:\\tmpCalendario\\20240307\r\n");
}

TEST_F(ReportLog, AFailedMirrorStepAfterTheFolderGivesTwoLines) {
  fs.FailOperation(FsOperation::kCreateTextFile, kMirror);
  EXPECT_EQ(Run(), ExitStatus::kMirrorFailed);
  EXPECT_EQ(fs.Contents(kReport), kTime +
                                      "Se ha creado la carpeta C:\\tmpCalendario\\20240307\r\n" +
                                      kTime + "Error al crear el archivo Mirror.txt\r\n");
}

TEST_F(ReportLog, EveryFailureOfTheWriterIsSilentAndTheRunGoesOn) {
  // Each operation the writer uses, failing only where it touches the report log.
  struct Case {
    FsOperation operation;
    std::u16string path;
  };
  const Case cases[] = {
      {FsOperation::kFolderExists, u"C:\\Informes"},
      {FsOperation::kCreateFolder, u"C:\\Informes"},
      {FsOperation::kFileExists, kReport},
      {FsOperation::kCreateTextFile, kReport},
      {FsOperation::kGetFile, kReport},
      {FsOperation::kSize, kReport},
      {FsOperation::kDelete, kReport},
      {FsOperation::kOpenAsTextStream, kReport},
      {FsOperation::kWriteLine, kReport},
      {FsOperation::kClose, kReport},
  };
  for (const Case& c : cases) {
    for (const bool overBound : {false, true}) {
      SCOPED_TRACE(std::string(OperationName(c.operation)) + (overBound ? " over the bound" : ""));
      FakeFileSystem faulty;
      const std::string old(10001, 'x');
      if (overBound) faulty.AddFile(kReport, old);
      faulty.FailOperation(c.operation, c.path);
      const ExitStatus status = Run(faulty);
      EXPECT_EQ(faulty.Contents(kMirror), "20240307\r\n");
      EXPECT_EQ(faulty.OpenStreams(), 0);
      const std::string report = faulty.Contents(kReport);
      // The run's status says whether both its lines were written.
      const bool both = std::count(report.begin(), report.end(), '|') == 4;
      EXPECT_EQ(status, both ? ExitStatus::kDone : ExitStatus::kReportFailed);
      if (c.operation == FsOperation::kDelete && overBound) {
        EXPECT_EQ(report, old);  // not deleted, so nothing written
      }
      // What the writer made before the failure stays.
      if (c.operation != FsOperation::kFolderExists && c.operation != FsOperation::kCreateFolder) {
        EXPECT_TRUE(faulty.IsFolder(u"C:\\Informes"));
      }
      EXPECT_FALSE(report.find("Error") != std::string::npos);
    }
  }
}

TEST_F(ReportLog, ControlCharactersInASubjectAreQuestionMarks) {
  // A CR LF given in an argument must not start a forged line of its own.
  EXPECT_EQ(Run(u"-RCC:\\a\r\n07/03/2024\x7f\x85"), ExitStatus::kFolderFailed);
  EXPECT_EQ(fs.Contents(kReport),
            kTime + "Error al crear la carpeta C:\\a??07/03/2024??\\20240307\r\n");
}

TEST_F(ReportLog, WithoutItsTurnTheWriterWritesNothing) {
  // The run that holds the turn may be about to delete the file: a line added now could go
  // with it. The run goes on without its lines.
  const std::string old(10001, 'x');
  fs.AddFile(kReport, old + "\r\n");
  fs.FailOperation(FsOperation::kLock);
  EXPECT_EQ(Run(), ExitStatus::kReportFailed);
  EXPECT_EQ(fs.Contents(kReport), old + "\r\n");
  EXPECT_EQ(fs.Contents(kMirror), "20240307\r\n");
}

TEST_F(ReportLog, AReportFolderThatCannotBeMadeChangesNothingElse) {
  fs.AddFile(u"C:\\Informes", "in the way");
  EXPECT_EQ(Run(), ExitStatus::kReportFailed);
  EXPECT_EQ(fs.Contents(kMirror), "20240307\r\n");
  EXPECT_EQ(fs.Contents(u"C:\\Informes"), "in the way");
}

using ReportLogOnDisk = testing::RealDisk;

class ReportWriterOnDisk : public testing::RealDisk {
 protected:
  void SetUp() override {
    RealDisk::SetUp();
    reportFolder = Win(u"Informes");
    reportPath = reportFolder + u"\\InformeMorvane.txt";
  }
  void Report(std::u16string_view message) {
    WriteReport(Layer(), reportFolder, reportPath, message);
  }
  std::u16string reportFolder;
  std::u16string reportPath;
  const std::u16string report = u"Informes\\InformeMorvane.txt";
  const std::u16string line = u"07/03/2024 09:15:00  ||  Ya exist\u00eda la carpeta X";
  const std::string bytes =
      "07/03/2024 09:15:00  ||  Ya exist\xed"
      "a la carpeta X\r\n";
};

TEST_F(ReportWriterOnDisk, AFileOfExactlyTheBoundStillReceivesTheLine) {
  MakeFolder(u"Informes");
  const std::string full = std::string(ReportLimit - 2, 'x') + "\r\n";
  Write(report, full);
  Report(line);
  EXPECT_EQ(Read(report), full + bytes);
}

TEST_F(ReportWriterOnDisk, AFileOverTheBoundIsDeletedAndTheLineStartsTheNewOne) {
  MakeFolder(u"Informes");
  Write(report, std::string(ReportLimit - 1, 'x') + "\r\n");
  Report(line);
  EXPECT_EQ(Read(report), bytes);
  Report(line);
  EXPECT_EQ(Read(report), bytes + bytes);
}

TEST_F(ReportWriterOnDisk, MakesEveryMissingLevelOfTheReportFolder) {
  reportFolder = Win(u"a\\b\\Informes");
  reportPath = reportFolder + u"\\InformeMorvane.txt";
  Report(line);
  EXPECT_EQ(Read(u"a\\b\\Informes\\InformeMorvane.txt"), bytes);
}

TEST_F(ReportWriterOnDisk, NeverMakesADriveOrAFolderNamedWithoutASeparator) {
  reportFolder = u"Q:\\Informes";
  reportPath = u"Q:\\Informes\\InformeMorvane.txt";
  Report(line);
#ifndef _WIN32
  EXPECT_FALSE(std::filesystem::exists(tempRoot_ / "drives" / "q"));
#endif

  const auto original = std::filesystem::current_path();
  std::filesystem::current_path(Host());
  reportFolder = u"Informes";
  reportPath = u"Informes\\InformeMorvane.txt";
  Report(line);
  std::filesystem::current_path(original);
  EXPECT_FALSE(Exists(u"Informes"));
}

}  // namespace
}  // namespace calendario
