#include <gtest/gtest.h>

#include "run/DailyRun.h"
#include "run/Settings.h"
#include "tests/FakeFileSystem.h"
#include "tests/FakeRun.h"
#include "tests/TestClock.h"

namespace calendario {
namespace {

using testing::FakeFileSystem;
using testing::FsOperation;
using testing::OperationName;
using testing::TestClock;

using testing::k7March2024;
using testing::kFolder;
using testing::kMirror;
using DailyRun = testing::FakeRun;

TEST(DateStamp, PadsMonthAndDayButNotTheYear) {
  EXPECT_EQ(DateStamp({2024, 3, 7}), u"20240307");
  EXPECT_EQ(DateStamp({2024, 12, 31}), u"20241231");
  EXPECT_EQ(DateStamp({1999, 10, 1}), u"19991001");
  EXPECT_EQ(DateStamp({10000, 1, 9}), u"100000109");
}

TEST(Defaults, DerivePathsFromTheStamp) {
  const Settings settings = LoadDefaults(u"20240307");
  EXPECT_EQ(settings.ReportName, u"InformeMorvane.txt");
  EXPECT_EQ(settings.MirrorName, u"Mirror.txt");
  EXPECT_EQ(settings.RootFolder, u"C:\\tmpCalendario");
  EXPECT_EQ(settings.ReportFolder, u"C:\\Informes");
  EXPECT_EQ(settings.ReportPath, u"C:\\Informes\\InformeMorvane.txt");
  EXPECT_EQ(settings.MirrorPath, kMirror);
  EXPECT_TRUE(settings.ReportEnabled);
}

TEST_F(DailyRun, MakesTodaysFolderAndAppendsTheStamp) {
  EXPECT_EQ(Run(), ExitStatus::kDone);
  EXPECT_TRUE(fs.IsFolder(kFolder));
  EXPECT_EQ(fs.Contents(kMirror), "20240307\r\n");
  EXPECT_EQ(fs.OpenStreams(), 0);

  EXPECT_EQ(Run(), ExitStatus::kDone);  // the same day again: the same stamp again
  EXPECT_EQ(fs.Contents(kMirror), "20240307\r\n20240307\r\n");
}

TEST_F(DailyRun, AnExistingMirrorFileStillReceivesTheStamp) {
  // Found without regard to case, as Windows finds it, and nothing made anew.
  fs.AddFolder(u"c:\\TMPCALENDARIO\\20240307");
  fs.AddFile(u"C:\\tmpcalendario\\20240307\\MIRROR.TXT", "20240307\r\n");
  EXPECT_EQ(Run(u"-INno"), ExitStatus::kDone);
  EXPECT_EQ(fs.Contents(kMirror), "20240307\r\n20240307\r\n");
  EXPECT_EQ(fs.Snapshot().count(u"F C:\\TMPCALENDARIO\\20240307\\MIRROR.TXT"), 1u);
  EXPECT_EQ(fs.Snapshot().size(), 4u);  // C:, the two folders and the file
}

TEST_F(DailyRun, ReadsTheDateOnceSoMidnightCannotSplitTheRun) {
  TestClock acrossMidnight({k7March2024, LocalDate{2024, 3, 8}});
  Platform platform{acrossMidnight, {}, fs};
  EXPECT_EQ(Main(platform), ExitStatus::kDone);
  EXPECT_EQ(acrossMidnight.dateReads, 1);
  EXPECT_EQ(fs.Contents(kMirror), "20240307\r\n");
  EXPECT_FALSE(fs.IsFolder(u"C:\\tmpCalendario\\20240308"));
}

TEST_F(DailyRun, ExitStatusSaysWhichStepFailed) {
  struct Case {
    FsOperation failing;
    ExitStatus status;
    bool folder;
    bool mirror;
  };
  const Case cases[] = {
      {FsOperation::kCreateFolder, ExitStatus::kFolderFailed, false, false},
      {FsOperation::kCreateTextFile, ExitStatus::kMirrorFailed, true, false},
      {FsOperation::kWriteLine, ExitStatus::kAppendFailed, true, true},
      {FsOperation::kOpenAsTextStream, ExitStatus::kAppendFailed, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(OperationName(c.failing)));
    FakeFileSystem faulty;
    faulty.FailOperation(c.failing);
    EXPECT_EQ(Run(faulty), c.status);
    EXPECT_EQ(faulty.IsFolder(kFolder), c.folder);
    EXPECT_EQ(faulty.IsFile(kMirror), c.mirror);
    EXPECT_EQ(faulty.Contents(kMirror), "");
  }
}

TEST_F(DailyRun, WithoutAFileSystemNothingHappens) {
  fs.FailOperation(FsOperation::kObtain);
  EXPECT_EQ(Run(), ExitStatus::kNoFileSystem);
  EXPECT_EQ(fs.Log(), std::vector<std::string>{"Obtain "});
}

TEST_F(DailyRun, AFailedFolderStepStopsBeforeTheMirrorFile) {
  fs.AddFile(u"C:\\tmpCalendario", "a file where the root should be");
  EXPECT_EQ(Run(), ExitStatus::kFolderFailed);
  for (const auto& call : fs.Log()) EXPECT_EQ(call.find("Mirror.txt"), std::string::npos);
  EXPECT_EQ(fs.Contents(u"C:\\tmpCalendario"), "a file where the root should be");
}

}  // namespace
}  // namespace calendario
