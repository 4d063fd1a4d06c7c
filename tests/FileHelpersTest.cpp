#include <gtest/gtest.h>

#include "fs/FileHelpers.h"
#include "tests/FakeFileSystem.h"
#include "tests/RealDisk.h"

namespace calendario {
namespace {

using testing::FakeFileSystem;
using testing::FsOperation;
using testing::OperationName;

using FileHelpersOnDisk = testing::RealDisk;

TEST_F(FileHelpersOnDisk, EnsureFileCreatesAnEmptyFileOnceAndThenLeavesItAlone) {
  EXPECT_EQ(EnsureFile(Layer(), Win(u"Mirror.txt")), CreationResult::Created);
  EXPECT_TRUE(IsFile(u"Mirror.txt"));
  EXPECT_EQ(Read(u"Mirror.txt"), "");  // zero bytes: no byte-order mark
  Write(u"Mirror.txt", "20240307");
  EXPECT_EQ(EnsureFile(Layer(), Win(u"Mirror.txt")), CreationResult::AlreadyExisted);
  EXPECT_EQ(Read(u"Mirror.txt"), "20240307");
}

TEST_F(FileHelpersOnDisk, AppendLineAddsOneLineAfterTheLastByte) {
  EXPECT_EQ(AppendLine(Layer(), Win(u"new.txt"), u"20240307"), kLineWritten);
  EXPECT_EQ(Read(u"new.txt"), "20240307\r\n");
  // A file that does not end in a line end holds a line cut short: the new line starts on a
  // line of its own, not glued to it.
  Write(u"old.txt", "no line end");
  EXPECT_EQ(AppendLine(Layer(), Win(u"old.txt"), u"20240307"), kLineWritten);
  EXPECT_EQ(Read(u"old.txt"), "no line end\r\n20240307\r\n");
  EXPECT_EQ(AppendLine(Layer(), Win(u"old.txt"), u""), kLineWritten);
  EXPECT_EQ(Read(u"old.txt"), "no line end\r\n20240307\r\n\r\n");
  EXPECT_EQ(AppendLine(Layer(), Win(u"old.txt"), u"exist\u00eda"), kLineWritten);
  EXPECT_EQ(Read(u"old.txt").substr(25),
            "exist\xed"
            "a\r\n");
}

TEST_F(FileHelpersOnDisk, AMissingFolderFailsAllThreeAndLeavesNoFile) {
  EXPECT_EQ(EnsureFile(Layer(), Win(u"missing\\Mirror.txt")), CreationResult::Failed);
  FileMeasure measured;
  EXPECT_EQ(OpenFileObject(Layer(), Win(u"missing\\Mirror.txt")).Size(measured),
            FsErrc::kNotObtained);
  EXPECT_EQ(AppendLine(Layer(), Win(u"missing\\Mirror.txt"), u"x"), kLineNotWritten);
  EXPECT_FALSE(Exists(u"missing"));
}

TEST_F(FileHelpersOnDisk, AFolderOrATrailingSeparatorIsNoFile) {
  MakeFolder(u"folder");
  EXPECT_EQ(EnsureFile(Layer(), Win(u"folder")), CreationResult::Failed);
  EXPECT_EQ(AppendLine(Layer(), Win(u"folder"), u"x"), kLineNotWritten);
  EXPECT_EQ(EnsureFile(Layer(), Win(u"name\\")), CreationResult::Failed);
  EXPECT_EQ(EnsureFile(Layer(), Win(u"")), CreationResult::Failed);  // the drive's top
  EXPECT_FALSE(Exists(u"name"));
}

TEST(FileHelpers, AFileMadeByAnotherRunMeanwhileAlreadyExisted) {
  FakeFileSystem fs;
  fs.beforeCall = [&](FsOperation op, std::u16string_view path) {
    if (op == FsOperation::kCreateTextFile) fs.AddFile(path, "theirs\r\n");
  };
  EXPECT_EQ(EnsureFile(fs, u"C:\\Mirror.txt"), CreationResult::AlreadyExisted);
  EXPECT_EQ(fs.Contents(u"C:\\Mirror.txt"), "theirs\r\n");

  FakeFileSystem withFolder;
  withFolder.beforeCall = [&](FsOperation op, std::u16string_view path) {
    if (op == FsOperation::kCreateTextFile) withFolder.AddFolder(path);
  };
  EXPECT_EQ(EnsureFile(withFolder, u"C:\\Mirror.txt"), CreationResult::Failed);
}

TEST(FileHelpers, EveryFailingStepOfAnAppendLeavesTheFileAsItWas) {
  // Whichever step fails, the line is not counted and no stream stays open.
  for (const FsOperation op :
       {FsOperation::kObtain, FsOperation::kFileExists, FsOperation::kGetFile,
        FsOperation::kOpenAsTextStream, FsOperation::kWriteLine}) {
    SCOPED_TRACE(std::string(OperationName(op)));
    FakeFileSystem fs;
    fs.AddFile(u"C:\\Mirror.txt", "20240306\r\n");
    fs.FailOperation(op);
    EXPECT_EQ(AppendLine(fs, u"C:\\Mirror.txt", u"20240307"), kLineNotWritten);
    EXPECT_EQ(fs.Contents(u"C:\\Mirror.txt"), "20240306\r\n");
    EXPECT_EQ(fs.OpenStreams(), 0);
  }
}

TEST(FileHelpers, AFailedCloseIsAFailedAppendOrCreation) {
  FakeFileSystem fs;
  fs.FailOperation(FsOperation::kClose);
  EXPECT_EQ(AppendLine(fs, u"C:\\Mirror.txt", u"20240307"), kLineNotWritten);
  EXPECT_EQ(fs.OpenStreams(), 0);
  EXPECT_EQ(EnsureFile(fs, u"C:\\New.txt"), CreationResult::Failed);
}

TEST(FileHelpers, AnObjectNeverObtainedFailsWithoutReachingTheLayer) {
  FakeFileSystem fs;
  fs.FailOperation(FsOperation::kGetFile);
  const File file = OpenFileObject(fs, u"C:\\Mirror.txt");
  const int calls = fs.Calls();
  TextStream stream;
  FileMeasure measured;
  EXPECT_EQ(file.OpenAsTextStream(kForAppending, kTristateFalse, stream), FsErrc::kNotObtained);
  EXPECT_EQ(file.Size(measured), FsErrc::kNotObtained);
  EXPECT_EQ(file.Delete(true), FsErrc::kNotObtained);
  EXPECT_EQ(stream.WriteLine(u"x"), FsErrc::kNotObtained);
  EXPECT_EQ(stream.Close(), FsErrc::kNotObtained);
  EXPECT_EQ(fs.Calls(), calls);
  // One lock an owner: a second is refused before it reaches the layer.
  FileLock lock;
  ASSERT_FALSE(Lock(fs, u"C:\\Mirror.txt", lock));
  const int locked = fs.Calls();
  EXPECT_EQ(Lock(fs, u"C:\\Mirror.txt", lock), FsErrc::kUnsupported);
  EXPECT_EQ(fs.Calls(), locked);
  // The file was still created: what is made before a failure stays.
  EXPECT_TRUE(fs.IsFile(u"C:\\Mirror.txt"));
}

TEST(FileHelpers, EnsureFileClosesTheNewFileBeforeItReturns) {
  FakeFileSystem fs;
  EXPECT_EQ(EnsureFile(fs, u"C:\\Mirror.txt"), CreationResult::Created);
  EXPECT_EQ(fs.OpenStreams(), 0);
  EXPECT_EQ(fs.Log().back(), "Close C:\\Mirror.txt");
}

}  // namespace
}  // namespace calendario
