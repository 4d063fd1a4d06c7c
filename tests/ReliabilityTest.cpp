// Whole runs against what a real folder can throw at them: files and folders in the way,
// links planted where the files will be, and input no one should give.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <fstream>
#include <iterator>

#include "fs/Text.h"
#include "run/DailyRun.h"
#include "tests/FakeFileSystem.h"
#include "tests/FakeRun.h"
#include "tests/RealDisk.h"
#include "tests/TestClock.h"

namespace calendario {
namespace {

namespace stdfs = std::filesystem;
using testing::FakeFileSystem;
using testing::TestClock;

using testing::kTime;

class RunOnDisk : public testing::RealDisk {
 protected:
  // A run with its root at <test>\Raiz and its report log in <test>\Informes.
  ExitStatus Run(std::u16string extra = {}) {
    const std::u16string line = u"-RC" + Win(u"Raiz") + u" -RI" + Win(u"Informes") + u" " + extra;
    Platform platform{clock, line, Layer()};
    return Main(platform);
  }
  std::string Report() { return Read(u"Informes\\InformeMorvane.txt"); }
  std::string Folder() { return Utf16ToWindows1252(Win(u"Raiz\\20240307")); }
  TestClock clock{LocalDate{2024, 3, 7}};
};

TEST_F(RunOnDisk, AFileWhereAFolderShouldBeFailsTheFolderStep) {
  for (const std::u16string inTheWay : {u"Raiz", u"Raiz\\20240307"}) {
    SCOPED_TRACE(Utf16ToUtf8(inTheWay));
    stdfs::remove_all(Host(u"Raiz"));
    stdfs::remove_all(Host(u"Informes"));
    if (inTheWay != u"Raiz") MakeFolder(u"Raiz");
    Write(inTheWay, "keep me");
    EXPECT_EQ(Run(), ExitStatus::kFolderFailed);
    EXPECT_EQ(Read(inTheWay), "keep me");
    EXPECT_EQ(Report(), kTime + "Error al crear la carpeta " + Folder() + "\r\n");
  }
}

TEST_F(RunOnDisk, AFolderNamedLikeTheMirrorFileFailsTheMirrorStep) {
  MakeFolder(u"Raiz\\20240307\\Mirror.txt\\inside");
  EXPECT_EQ(Run(), ExitStatus::kMirrorFailed);
  EXPECT_TRUE(IsFolder(u"Raiz\\20240307\\Mirror.txt\\inside"));
  EXPECT_EQ(Report(), kTime +
                          "Ya exist\xed"
                          "a la carpeta " +
                          Folder() + "\r\n" + kTime + "Error al crear el archivo Mirror.txt\r\n");
}

TEST_F(RunOnDisk, AFolderNamedLikeTheReportFileOnlySilencesTheReport) {
  MakeFolder(u"Informes\\InformeMorvane.txt\\inside");
  EXPECT_EQ(Run(), ExitStatus::kReportFailed);
  EXPECT_TRUE(IsFolder(u"Informes\\InformeMorvane.txt\\inside"));
  EXPECT_EQ(Read(u"Raiz\\20240307\\Mirror.txt"), "20240307\r\n");
}

TEST_F(RunOnDisk, AFolderThatCannotBeWrittenIsReportedWhereItBites) {
  MakeFolder(u"Raiz");
  stdfs::permissions(Host(u"Raiz"), stdfs::perms::owner_read | stdfs::perms::owner_exec);
  std::error_code probe;
  const bool bites = !stdfs::create_directory(Host(u"Raiz\\probe"), probe);
  stdfs::remove(Host(u"Raiz\\probe"), probe);
  if (!bites) {
    stdfs::permissions(Host(u"Raiz"), stdfs::perms::owner_all);
    GTEST_SKIP() << "folder permissions do not bind this user (root?)";
  }
  EXPECT_EQ(Run(), ExitStatus::kFolderFailed);
  stdfs::permissions(Host(u"Raiz"), stdfs::perms::owner_all);
  EXPECT_EQ(Report(), kTime + "Error al crear la carpeta " + Folder() + "\r\n");
}

class PlantedLinks : public RunOnDisk {
 protected:
  void SetUp() override {
    RunOnDisk::SetUp();
    outside = tempRoot_ / "outside.txt";
    std::ofstream(outside, std::ios::binary) << "not yours\r\n";
  }
  // A link at `relative` to `target`, symbolic or hard; false when this host cannot make one.
  // A hard link is planted by someone else: in a folder of another user's, where the target is
  // not that user's (which needs root to arrange).
  bool Plant(std::u16string_view relative, const stdfs::path& target, bool hard = false) {
    std::error_code ec;
    stdfs::remove(Host(relative), ec);
    hard ? stdfs::create_hard_link(target, Host(relative), ec)
         : stdfs::create_symlink(target, Host(relative), ec);
#ifdef _WIN32
    return !ec && !hard;  // the Win32 tests plant another owner's hard link themselves
#else
    return !ec && (!hard || ::chown(Host(relative).parent_path().c_str(), 4242, 4242) == 0);
#endif
  }
  std::string Outside() const {
    std::ifstream in(outside, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  stdfs::path outside;
};

TEST_F(PlantedLinks, NoLineIsWrittenThroughALinkAtTheMirrorFile) {
  MakeFolder(u"Raiz\\20240307");
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    if (!Plant(u"Raiz\\20240307\\Mirror.txt", outside, hard)) GTEST_SKIP() << "no links here";
    EXPECT_EQ(Run(), ExitStatus::kAppendFailed);
    EXPECT_EQ(Outside(), "not yours\r\n");
    EXPECT_NE(Report().find("Ya exist\xed"
                            "a el archivo Mirror.txt\r\n"),
              std::string::npos);
  }
}

TEST_F(PlantedLinks, ALinkToAMissingFileFailsTheMirrorStep) {
  MakeFolder(u"Raiz\\20240307");
  const stdfs::path missing = tempRoot_ / "missing.txt";
  if (!Plant(u"Raiz\\20240307\\Mirror.txt", missing)) GTEST_SKIP() << "no symbolic links here";
  EXPECT_EQ(Run(), ExitStatus::kMirrorFailed);
  EXPECT_FALSE(stdfs::exists(missing));
  EXPECT_NE(Report().find("Error al crear el archivo Mirror.txt\r\n"), std::string::npos);
}

TEST_F(PlantedLinks, NoLineIsWrittenThroughALinkAtTheReportFile) {
  MakeFolder(u"Informes");
  for (const bool hard : {false, true}) {
    SCOPED_TRACE(hard ? "hard link" : "symbolic link");
    if (!Plant(u"Informes\\InformeMorvane.txt", outside, hard)) GTEST_SKIP() << "no links here";
    EXPECT_EQ(Run(), ExitStatus::kReportFailed);
    EXPECT_EQ(Outside(), "not yours\r\n");
  }
  // A second name of a file of the folder's own owner (a snapshot, a deduplicator) is written
  // through.
#ifndef _WIN32
  ::chown(Host(u"Informes").c_str(), ::geteuid(), ::getegid());
  EXPECT_EQ(Run(), ExitStatus::kDone);
  const std::string written = Outside();
  EXPECT_EQ(written.find("not yours\r\n" + kTime), 0u);
  EXPECT_EQ(std::count(written.begin(), written.end(), '\n'), 3);
#endif
}

TEST_F(PlantedLinks, ALinkToALargeFileIsDeletedNotItsTarget) {
  const std::string large(20000, 'x');
  std::ofstream(outside, std::ios::binary | std::ios::trunc) << large;
  MakeFolder(u"Informes");
  if (!Plant(u"Informes\\InformeMorvane.txt", outside)) GTEST_SKIP() << "no symbolic links here";
  EXPECT_EQ(Run(), ExitStatus::kDone);
  EXPECT_EQ(Outside(), large);
  EXPECT_FALSE(stdfs::is_symlink(Host(u"Informes\\InformeMorvane.txt")));
  EXPECT_EQ(Report().find(kTime + "Se ha creado la carpeta "), 0u);
}

TEST(BadInput, NoArgumentCrashesTheRunOrReachesPastItsFolders) {
  struct Case {
    const char* name;
    std::u16string commandLine;
    ExitStatus status;
  };
  const std::u16string longRoot = u"-RCC:\\" + std::u16string(40000, u'a');
  std::u16string thousand;
  for (int i = 0; i < 1000; ++i) thousand += u"-RCC:\\n" + Ascii(std::to_string(i)) + u" ";
  const Case cases[] = {
      {"a root of 40000 characters", longRoot, ExitStatus::kFolderFailed},
      {"a root of 32767 characters", u"-RCC:\\" + std::u16string(32767 - 6, u'b'),
       ExitStatus::kFolderFailed},
      {"control characters", u"-RCC:\\a\u0001b", ExitStatus::kFolderFailed},
      {"a device name as root", u"-RCC:\\CON", ExitStatus::kFolderFailed},
      {"a device name as mirror", u"-NANUL.txt", ExitStatus::kMirrorFailed},
      {"one trailing dot and spaces", u"-RCC:\\Datos. -NAx. ", ExitStatus::kDone},
      // "Datos.." is made as "Datos", and the dated folder is then sought in "Datos.".
      {"two trailing dots", u"-RCC:\\Datos.. -NAx. ", ExitStatus::kFolderFailed},
      {"a long-path form", u"-RC\\\\?\\C:\\x", ExitStatus::kFolderFailed},
      {"a device form", u"-RC\\\\.\\C:\\x", ExitStatus::kFolderFailed},
      {"a server share", u"-RC\\\\srv\\share -RI\\\\srv\\share", ExitStatus::kFolderFailed},
      {"the top of the current drive", u"-RC\\", ExitStatus::kFolderFailed},
      {"a console as root", u"-RCC:\\CONIN$", ExitStatus::kFolderFailed},
      {"a console as mirror", u"-NAconout$", ExitStatus::kMirrorFailed},
      {"more than half separators", u"-RCC:" + std::u16string(20, u'\\'),
       ExitStatus::kFolderFailed},
      {"lone surrogates", u"-RCC:\\\xD800x\xDC80", ExitStatus::kDone},
      {"a thousand arguments", thousand, ExitStatus::kDone},
      {"a missing drive", u"-RCQ:\\x -RIQ:\\y", ExitStatus::kFolderFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs;
    TestClock clock{LocalDate{2024, 3, 7}};
    Platform platform{clock, c.commandLine, fs};
    EXPECT_EQ(Main(platform), c.status);
    EXPECT_EQ(fs.OpenStreams(), 0);
    // Every folder and file made lies under C:\ (the only drive there is).
    for (const auto& [key, bytes] : fs.Snapshot()) {
      EXPECT_TRUE(key.rfind(u"D C:", 0) == 0 || key.rfind(u"F C:", 0) == 0) << Utf16ToUtf8(key);
    }
  }
}

TEST_F(RunOnDisk, BadRootsFailCleanlyOnARealDisk) {
  for (const std::u16string root : {u"CON", u"a\u0001b", u"x<y", u"\\\\?\\bad"}) {
    SCOPED_TRACE(Utf16ToUtf8(root));
    const std::u16string line = u"-RC" + Win(root) + u" -RI" + Win(u"Informes");
    Platform platform{clock, line, Layer()};
    EXPECT_EQ(Main(platform), ExitStatus::kFolderFailed);
  }
  // Only the report folder was made.
  std::vector<std::string> made;
  for (const auto& entry : stdfs::directory_iterator(Host())) {
    made.push_back(entry.path().filename().string());
  }
  EXPECT_EQ(made, std::vector<std::string>{"Informes"});
}

}  // namespace
}  // namespace calendario
