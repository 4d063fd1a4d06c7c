#include <gtest/gtest.h>

#include "fs/FileHelpers.h"
#include "tests/FakeFileSystem.h"
#include "tests/RealDisk.h"

namespace calendario {
namespace {

using testing::CountNestedLevels;
using testing::FakeFileSystem;
using testing::FsOperation;
using testing::OperationName;
using Log = std::vector<std::string>;

TEST(FolderPath, CreatesEveryMissingLevelInOrder) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\tmpCalendario\\20240307"), CreationResult::Created);
  EXPECT_EQ(fs.Log(),
            (Log{"Obtain ", "FolderExists C:\\tmpCalendario", "CreateFolder C:\\tmpCalendario",
                 "Obtain ", "FolderExists C:\\tmpCalendario\\20240307",
                 "CreateFolder C:\\tmpCalendario\\20240307"}));
  EXPECT_TRUE(fs.IsFolder(u"C:\\tmpCalendario\\20240307"));

  const auto before = fs.Snapshot();
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\tmpCalendario\\20240307"), CreationResult::AlreadyExisted);
  EXPECT_EQ(fs.Snapshot(), before);
}

TEST(FolderPath, ResultIsThatOfTheLastLevel) {
  FakeFileSystem fs;
  fs.AddFolder(u"C:\\tmpCalendario");
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\tmpCalendario\\20240307"), CreationResult::Created);
  EXPECT_EQ(fs.Log().size(), 5u);  // the existing level is only looked at
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\Informes\\"), CreationResult::Created);
  EXPECT_EQ(fs.Log().back(), "CreateFolder C:\\Informes");  // a trailing "\" adds no level
}

TEST(FolderPath, TheFirstEntryIsNeverLookedAtOrCreated) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u""), CreationResult::AlreadyExisted);
  EXPECT_EQ(CreateFolderPath(fs, u"tmp"), CreationResult::AlreadyExisted);
  EXPECT_EQ(CreateFolderPath(fs, u"C:"), CreationResult::AlreadyExisted);
  EXPECT_EQ(fs.Calls(), 0);
  // A relative path's first level is entry 0: it must exist already.
  EXPECT_EQ(CreateFolderPath(fs, u"tmp\\20240307"), CreationResult::Failed);
  EXPECT_FALSE(fs.IsFolder(u"tmp"));
  EXPECT_EQ(fs.Log(), (Log{"Obtain ", "FolderExists tmp\\20240307", "CreateFolder tmp\\20240307",
                           "FolderExists tmp\\20240307"}));
}

TEST(FolderPath, AServerPathStopsAtTheServer) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u"\\\\srv\\share\\x"), CreationResult::Failed);
  EXPECT_EQ(fs.Log(), (Log{"Obtain ", "FolderExists \\", "Obtain ", "FolderExists \\\\srv",
                           "CreateFolder \\\\srv", "FolderExists \\\\srv"}));
}

TEST(FolderPath, ALevelThatFailsStopsTheWalkAndKeepsWhatWasMade) {
  FakeFileSystem fs;
  fs.FailOperation(FsOperation::kCreateFolder, u"C:\\a\\b");
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\a\\b\\c"), CreationResult::Failed);
  EXPECT_TRUE(fs.IsFolder(u"C:\\a"));
  EXPECT_FALSE(fs.IsFolder(u"C:\\a\\b"));
  for (const auto& call : fs.Log()) EXPECT_EQ(call.find("C:\\a\\b\\c"), std::string::npos);
}

TEST(FolderPath, TooManySeparatorsFailBeforeAnyFolderIsTouched) {
  FakeFileSystem fs;
  EXPECT_EQ(CreateFolderPath(fs, u"\\\\\\\\"), CreationResult::Failed);
  EXPECT_EQ(CreateFolderPath(fs, std::u16string(32768, u'a')), CreationResult::Failed);
  EXPECT_EQ(fs.Calls(), 0);
}

TEST(FolderPath, EveryFailingOperationGivesFailed) {
  for (int n = 1; n <= 3; ++n) {
    SCOPED_TRACE(n);
    FakeFileSystem fs;
    fs.FailCall(n);
    EXPECT_EQ(CreateFolderPath(fs, u"C:\\x"), CreationResult::Failed);
  }
}

TEST(FolderPath, AFolderMadeByAnotherRunMeanwhileAlreadyExisted) {
  FakeFileSystem fs;
  fs.beforeCall = [&](FsOperation op, std::u16string_view path) {
    if (op == FsOperation::kCreateFolder) fs.AddFolder(path);
  };
  EXPECT_EQ(CreateFolderPath(fs, u"C:\\x"), CreationResult::AlreadyExisted);

  FakeFileSystem withFile;
  withFile.beforeCall = [&](FsOperation op, std::u16string_view path) {
    if (op == FsOperation::kCreateFolder) withFile.AddFile(path, "");
  };
  EXPECT_EQ(CreateFolderPath(withFile, u"C:\\x"), CreationResult::Failed);
}

using FolderPathOnDisk = testing::RealDisk;

TEST_F(FolderPathOnDisk, CreatesThenFindsTheFolder) {
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"tmpCalendario\\20240307")), CreationResult::Created);
  EXPECT_TRUE(IsFolder(u"tmpCalendario\\20240307"));
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"tmpCalendario\\20240307")),
            CreationResult::AlreadyExisted);
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"tmpCalendario\\otro")), CreationResult::Created);
}

TEST_F(FolderPathOnDisk, AFileInTheWayFailsAndNothingIsMadeBelowIt) {
  MakeFolder(u"root");
  Write(u"root\\20240307", "keep");
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"root\\20240307\\deeper")), CreationResult::Failed);
  EXPECT_EQ(Read(u"root\\20240307"), "keep");
}

TEST_F(FolderPathOnDisk, NonAsciiNamesAreCreatedWithTheirRealName) {
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"A\u00f1o\\\u65e5\u4ed8")), CreationResult::Created);
  EXPECT_TRUE(IsFolder(u"A\u00f1o\\\u65e5\u4ed8"));
}

TEST_F(FolderPathOnDisk, APathLongerThanTheHostsLimitIsCreated) {
#ifdef _WIN32
  // Past MAX_PATH (260). Wine keeps its files on a POSIX host, which stops it near 4096.
  constexpr std::size_t kLength = 1000;
#else
  constexpr std::size_t kLength = 5000;  // past PATH_MAX (4096)
#endif
  std::u16string relative = u"deep";
  while (relative.size() < kLength) relative += u"\\level_name_";
  EXPECT_EQ(CreateFolderPath(Layer(), Win(relative)), CreationResult::Created);
  EXPECT_EQ(CreateFolderPath(Layer(), Win(relative)), CreationResult::AlreadyExisted);
  EXPECT_EQ(CountNestedLevels(Host(u"deep"), "level_name_"),
            static_cast<int>((relative.size() - 4) / 12));
}

}  // namespace
}  // namespace calendario
