// The POSIX backend's mapping of Windows paths onto host folders, and its behaviour under
// faults only a real host produces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "fs/FileHelpers.h"
#include "fs/FileSystemPosix.h"
#include "fs/Text.h"
#include "tests/ProcessPosix.h"
#include "tests/RealDisk.h"

namespace calendario {
namespace {

namespace stdfs = std::filesystem;

// Every folder below `top`, as paths relative to it, in order.
std::vector<std::string> Tree(const stdfs::path& top) {
  std::vector<std::string> tree;
  for (const auto& entry : stdfs::recursive_directory_iterator(top)) {
    tree.push_back(stdfs::relative(entry.path(), top).string());
  }
  std::sort(tree.begin(), tree.end());
  return tree;
}

// The tests are grouped by the part of the backend they test: PosixDrives*, PosixPaths*,
// PosixAppend*, PosixTurns*, FileSystemPosix*.
class PosixMapping : public testing::RealDisk {
 protected:
  stdfs::path Drives() const { return tempRoot_ / "drives"; }
  bool Folder(std::u16string_view path) {
    bool exists = false;
    EXPECT_FALSE(Layer().FolderExists(path, exists));
    return exists;
  }
};
using PosixDrivesOnDisk = PosixMapping;
using PosixPathsOnDisk = PosixMapping;
using PosixAppendOnDisk = PosixMapping;
using PosixTurnsOnDisk = PosixMapping;
using FileSystemPosixOnDisk = PosixMapping;

TEST_F(PosixDrivesOnDisk, DriveCIsMadeWhenFirstNeededAndOtherDrivesMustExist) {
  EXPECT_FALSE(stdfs::exists(Drives() / "c"));
  EXPECT_TRUE(Folder(u"C:\\"));
  EXPECT_TRUE(stdfs::is_directory(Drives() / "c"));
  EXPECT_FALSE(Layer().CreateFolder(u"\\Informes"));  // a leading "\" is the top of C:
  EXPECT_TRUE(stdfs::is_directory(Drives() / "c" / "Informes"));
  EXPECT_TRUE(Folder(u"c:\\informes\\..\\Informes"));

  EXPECT_FALSE(Folder(u"D:\\"));
  EXPECT_TRUE(Layer().CreateFolder(u"D:\\Datos"));
  EXPECT_FALSE(stdfs::exists(Drives() / "d"));
}

TEST_F(PosixDrivesOnDisk, ADriveCanBeALinkToAnyHostFolder) {
  const stdfs::path elsewhere = tempRoot_ / "elsewhere";
  stdfs::create_directory(elsewhere);
  stdfs::create_directory_symlink(elsewhere, Drives() / "d");
  EXPECT_FALSE(Layer().CreateFolder(u"D:\\Datos"));
  EXPECT_TRUE(stdfs::is_directory(elsewhere / "Datos"));
}

TEST_F(PosixDrivesOnDisk, DriveZIsTheHostRootUnlessMapped) {
  EXPECT_TRUE(Folder(u"Z:\\tmp"));
  EXPECT_TRUE(Folder(u"Z:\\"));
  stdfs::create_directory(Drives() / "z");
  PosixFileSystem fresh(Drives().string());
  bool exists = true;
  EXPECT_FALSE(fresh.FolderExists(u"Z:\\tmp", exists));
  EXPECT_FALSE(exists);
}

TEST_F(PosixPathsOnDisk, DotDotNeverClimbsAboveTheDrive) {
  EXPECT_FALSE(Layer().CreateFolder(u"X:\\..\\..\\up"));
  EXPECT_TRUE(IsFolder(u"up"));
  EXPECT_FALSE(stdfs::exists(Drives() / "up"));
  EXPECT_FALSE(Layer().CreateFolder(u"X:/up/./a/../b"));  // "/" separates levels too
  EXPECT_TRUE(IsFolder(u"up\\b"));
}

TEST_F(PosixDrivesOnDisk, RelativePathsStartAtTheCurrentFolder) {
  const auto original = stdfs::current_path();
  MakeFolder(u"in");
  stdfs::current_path(Host(u"in"));
  // Inside a drive, as Windows reads them from that drive and folder: ".." stops at its top,
  // "X:" without a separator goes on from the current folder, a leading "\" is X:'s top.
  EXPECT_FALSE(Layer().CreateFolder(u"rel"));
  EXPECT_FALSE(Layer().CreateFolder(u"..\\..\\..\\up"));
  EXPECT_FALSE(Layer().CreateFolder(u"x:rel2"));
  EXPECT_FALSE(Layer().CreateFolder(u"\\top"));
  EXPECT_EQ(CreateFolderPath(Layer(), u"X:..\\sib\\20240307"), CreationResult::Created);
  // Outside every drive, as the host reads them.
  stdfs::current_path(tempRoot_);
  PosixFileSystem outside(Drives().string());
  EXPECT_FALSE(outside.CreateFolder(u"host"));
  stdfs::current_path(original);
  EXPECT_TRUE(IsFolder(u"in\\rel"));
  EXPECT_TRUE(IsFolder(u"in\\rel2"));
  EXPECT_TRUE(IsFolder(u"top"));
  EXPECT_TRUE(IsFolder(u"sib\\20240307"));
  EXPECT_TRUE(IsFolder(u"up"));
  EXPECT_FALSE(stdfs::exists(Drives() / "up"));
  EXPECT_TRUE(stdfs::is_directory(tempRoot_ / "host"));
}

TEST_F(PosixPathsOnDisk, NamesAreFoundWithoutRegardToCaseAndKeepTheirOwn) {
  MakeFolder(u"R\\20240307");
  MakeFolder(u"A\u00d1O");
  Write(u"R\\20240307\\MIRROR.TXT", "20240306\r\n");
  EXPECT_TRUE(Folder(Win(u"r\\20240307")));
  EXPECT_TRUE(Folder(Win(u"a\u00f1o")));
  EXPECT_EQ(CreateFolderPath(Layer(), Win(u"r\\20240307")), CreationResult::AlreadyExisted);
  EXPECT_TRUE(Layer().CreateFolder(Win(u"a\u00f1O")));  // there already, in another case
  EXPECT_EQ(EnsureFile(Layer(), Win(u"r\\20240307\\Mirror.txt")), CreationResult::AlreadyExisted);
  EXPECT_EQ(AppendLine(Layer(), Win(u"r\\20240307\\Mirror.txt"), u"20240307"), kLineWritten);
  EXPECT_EQ(Read(u"R\\20240307\\MIRROR.TXT"), "20240306\r\n20240307\r\n");
  EXPECT_EQ(Tree(Host()),
            (std::vector<std::string>{"A\xc3\x91O", "R", "R/20240307", "R/20240307/MIRROR.TXT"}));
  // Two host names that differ in case alone: the exact one, or else the first in byte order.
  // (A run reads a folder's names once: these are the next run's.)
  Write(u"ab.txt", "lower");
  Write(u"AB.txt", "upper");
  PosixFileSystem next(Drives().string());
  FileMeasure size;
  ASSERT_FALSE(next.Size(Win(u"ab.txt"), size));
  EXPECT_EQ(size.bytes, 5u);
  ASSERT_FALSE(next.Delete(Win(u"Ab.TXT"), true, nullptr));
  EXPECT_FALSE(Exists(u"AB.txt"));
  EXPECT_TRUE(Exists(u"ab.txt"));
}

TEST_F(PosixPathsOnDisk, NamesReachTheHostAsUtf8OrAsTheirOriginalBytes) {
  EXPECT_FALSE(Layer().CreateFolder(Win(u"A\u00f1o")));
  EXPECT_TRUE(stdfs::is_directory(Host() / "A\xc3\xb1o"));
  EXPECT_FALSE(Layer().CreateFolder(Win(Utf8ToUtf16("raw\xff\xfe"))));
  EXPECT_TRUE(stdfs::is_directory(Host() / "raw\xff\xfe"));
}

TEST_F(PosixAppendOnDisk, TextIsWindows1252WithCrLf) {
  StreamId stream{};
  ASSERT_FALSE(Layer().CreateTextFile(Win(u"t.txt"), false, false, stream));
  ASSERT_FALSE(Layer().Close(stream));
  ASSERT_FALSE(Layer().OpenAsTextStream(Win(u"t.txt"), kForAppending, kTristateFalse, stream));
  EXPECT_FALSE(Layer().WriteLine(stream, u"exist\u00eda \u20ac \u3042"));
  EXPECT_FALSE(Layer().Close(stream));
  EXPECT_EQ(Read(u"t.txt"),
            "exist\xed"
            "a \x80 ?\r\n");
  // Each stream keeps to its own file: one that ends in a fragment starts its line anew, and
  // another open meanwhile does not.
  Write(u"cut.txt", "2024");
  StreamId cut{};
  ASSERT_FALSE(Layer().OpenAsTextStream(Win(u"cut.txt"), kForAppending, kTristateFalse, cut));
  ASSERT_FALSE(Layer().OpenAsTextStream(Win(u"t.txt"), kForAppending, kTristateFalse, stream));
  EXPECT_FALSE(Layer().WriteLine(cut, u"a"));
  EXPECT_FALSE(Layer().WriteLine(stream, u"b"));
  EXPECT_FALSE(Layer().Close(stream));
  EXPECT_FALSE(Layer().Close(cut));
  EXPECT_EQ(Read(u"cut.txt"), "2024\r\na\r\n");
  EXPECT_EQ(Read(u"t.txt").substr(13), "b\r\n");
}

TEST_F(FileSystemPosixOnDisk, FileOperationsOnFoldersAndMissingFilesFail) {
  MakeFolder(u"dir");
  FileMeasure size;
  StreamId stream{};
  EXPECT_TRUE(Layer().GetFile(Win(u"dir")));
  EXPECT_TRUE(Layer().Size(Win(u"dir"), size));
  EXPECT_TRUE(Layer().Delete(Win(u"dir"), true, nullptr));
  EXPECT_TRUE(Layer().GetFile(Win(u"none.txt")));
  EXPECT_TRUE(Layer().OpenAsTextStream(Win(u"none.txt"), kForAppending, kTristateFalse, stream));
  EXPECT_TRUE(Layer().OpenAsTextStream(Win(u"dir"), kForAppending, kTristateFalse, stream));
  EXPECT_TRUE(Layer().CreateTextFile(Win(u"u.txt"), false, true, stream));  // unicode
  EXPECT_TRUE(IsFolder(u"dir"));
  EXPECT_FALSE(Exists(u"none.txt"));
  EXPECT_FALSE(Exists(u"u.txt"));

  Write(u"ro.txt", "12345");
  stdfs::permissions(Host(u"ro.txt"), stdfs::perms::owner_read);
  EXPECT_FALSE(Layer().Size(Win(u"ro.txt"), size));
  EXPECT_EQ(size.bytes, 5u);
  EXPECT_FALSE(Layer().Delete(Win(u"ro.txt"), true, nullptr));
  EXPECT_FALSE(Exists(u"ro.txt"));

  // A file measured and then made anew, or added to, by another process is not deleted.
  Write(u"r.txt", "old");
  ASSERT_FALSE(Layer().Size(Win(u"r.txt"), size));
  stdfs::remove(Host(u"r.txt"));
  Write(u"r.txt", "newer");
  EXPECT_EQ(Layer().Delete(Win(u"r.txt"), true, &size), FsErrc::kChanged);
  ASSERT_FALSE(Layer().Size(Win(u"r.txt"), size));
  std::ofstream(Host(u"r.txt"), std::ios::app) << "!";
  EXPECT_EQ(Layer().Delete(Win(u"r.txt"), true, &size), FsErrc::kChanged);
  EXPECT_EQ(Read(u"r.txt"), "newer!");
  // The file measured goes, and with it what an earlier run left under a name of its own
  // beside it (ended between moving it aside and removing it); nothing else of such a name:
  // not a user's own file, not a link named like a leftover, nor its target.
  const std::u16string left = u"r.txt.calendario-deleted-0123456789abcdef0123456789abcdef";
  Write(left, "left");
  Write(u"r.txt.calendario-deleted my notes.txt", "mine");
  stdfs::create_symlink(Host(u"r.txt"), Host(left.substr(0, left.size() - 1) + u"0"));
  ASSERT_FALSE(Layer().Size(Win(u"r.txt"), size));
  EXPECT_FALSE(Layer().Delete(Win(u"r.txt"), true, &size));
  EXPECT_EQ(Tree(Host()), (std::vector<std::string>{
                              "dir", "r.txt.calendario-deleted my notes.txt",
                              "r.txt.calendario-deleted-0123456789abcdef0123456789abcde0"}));
}

TEST_F(PosixPathsOnDisk, ACachedFolderIsNotConfusedWithAnotherPath) {
  // Reached by one text, then asked through texts that share its beginning.
  MakeFolder(u"ab\\c");
  MakeFolder(u"abc");
  EXPECT_TRUE(Folder(Win(u"ab\\c")));
  EXPECT_TRUE(Folder(Win(u"abc")));
  EXPECT_FALSE(Folder(Win(u"ab\\c\\d")));
  EXPECT_FALSE(Layer().CreateFolder(Win(u"ab\\c\\d")));
  EXPECT_FALSE(Layer().CreateFolder(Win(u"abc\\d")));
  EXPECT_TRUE(IsFolder(u"ab\\c\\d"));
  EXPECT_TRUE(IsFolder(u"abc\\d"));
  EXPECT_FALSE(Layer().CreateFolder(Win(u"ab\\c\\..\\e")));
  EXPECT_TRUE(IsFolder(u"ab\\e"));
}

TEST_F(PosixPathsOnDisk, AFolderMadeAnewIsNotReachedThroughItsOldHandle) {
  MakeFolder(u"Informes");
  EXPECT_TRUE(Folder(Win(u"Informes")));
  EXPECT_EQ(AppendLine(Layer(), Win(u"Informes\\a.txt"), u"1"), kLineWritten);
  // Another process deletes the folder and makes it again.
  stdfs::remove_all(Host(u"Informes"));
  MakeFolder(u"Informes");
  EXPECT_TRUE(Folder(Win(u"Informes")));
  EXPECT_EQ(AppendLine(Layer(), Win(u"Informes\\b.txt"), u"2"), kLineWritten);
  EXPECT_EQ(Read(u"Informes\\b.txt"), "2\r\n");
  // Deleted and not made again: nothing is written into the deleted folder.
  stdfs::remove_all(Host(u"Informes"));
  EXPECT_FALSE(Folder(Win(u"Informes")));
  EXPECT_EQ(AppendLine(Layer(), Win(u"Informes\\c.txt"), u"3"), kLineNotWritten);
}

TEST_F(PosixTurnsOnDisk, TurnsAreTheFilesOwnAndNoReaderHoldsThemBack) {
  MakeFolder(u"Informes");
  Write(u"Informes\\r.txt", "");
  LockId lock{};
  ASSERT_FALSE(Layer().Lock(Win(u"Informes\\r.txt"), lock));
  // Another process cannot have the turn meanwhile, under any spelling, until it is given back.
  const auto otherTakes = [&] {
    const pid_t child = ::fork();
    if (child == 0) {
      PosixFileSystem other(Drives().string(),
                            PosixTurns::Clock::now() + std::chrono::milliseconds(100));
      LockId theirs{};
      ::_exit(other.Lock(Win(u"INFORMES\\R.TXT"), theirs) ? 1 : 0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_FALSE(otherTakes());
  EXPECT_FALSE(Layer().Unlock(lock));
  EXPECT_TRUE(otherTakes());
  // A reader's lock, even on the whole file, is not waited for: runs go on without a turn.
  const int reader = ::open(Host(u"Informes\\r.txt").c_str(), O_RDONLY | O_CLOEXEC);
  struct flock whole {};
  whole.l_type = F_RDLCK;
  whole.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(reader, F_OFD_SETLK, &whole), 0);
  ASSERT_FALSE(Layer().Lock(Win(u"Informes\\r.txt"), lock));
  EXPECT_TRUE(otherTakes());
  EXPECT_FALSE(Layer().Unlock(lock));
  ::close(reader);
  // Nothing of the turns lies beside the file, or anywhere else.
  EXPECT_EQ(Tree(Host(u"Informes")), std::vector<std::string>{"r.txt"});
  EXPECT_FALSE(stdfs::exists(tempRoot_ / "turns"));
}

TEST_F(PosixAppendOnDisk, ALineThatWaitedForItsTurnIsNotGluedToAFragmentLeftMeanwhile) {
  Write(u"m.txt", "20261207\r\n");
  StreamId held{};
  ASSERT_FALSE(Layer().OpenAsTextStream(Win(u"m.txt"), kForAppending, kTristateFalse, held));
  // Another run looks at the file and waits for its turn; meanwhile the file comes to end in a
  // fragment, as a run ended halfway through its line would leave it.
  const pid_t other = ::fork();
  if (other == 0) {
    // Another process, holding nothing of this one's (its turn file among them).
    ::close_range(3, ~0U, 0);
    PosixFileSystem theirs(Drives().string());
    ::_exit(AppendLine(theirs, Win(u"m.txt"), u"20261208") == kLineWritten ? 0 : 1);
  }
  // Once it holds the file open, it is waiting for the turn.
  const stdfs::path fds = "/proc/" + std::to_string(other) + "/fd";
  EXPECT_TRUE(testing::WaitUntil([&] {
    std::error_code ec;
    for (const auto& fd : stdfs::directory_iterator(fds, ec)) {
      if (stdfs::read_symlink(fd.path(), ec) == Host(u"m.txt")) return true;
    }
    return false;
  }));
  std::ofstream(Host(u"m.txt"), std::ios::binary | std::ios::app) << "2026";
  EXPECT_FALSE(Layer().Close(held));
  int status = 0;
  ::waitpid(other, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(Read(u"m.txt"), "20261207\r\n2026\r\n20261208\r\n");
}

// Runs `body` in a child process whose files may not grow past `limit` bytes, with SIGXFSZ
// ignored so that the write fails instead of ending the process; returns its exit status.
template <typename Body>
int WithFileSizeLimit(rlim_t limit, Body body) {
  const pid_t child = ::fork();
  if (child == 0) {
    ::signal(SIGXFSZ, SIG_IGN);
    const rlimit rl{limit, limit};
    ::setrlimit(RLIMIT_FSIZE, &rl);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(PosixAppendOnDisk, ALineThatDoesNotFitLeavesTheFileAsItWas) {
  const std::string before = "20240306\r\n";
  Write(u"Mirror.txt", before);
  // Room for three more bytes: the host takes part of the line, and it must come out again.
  const int status = WithFileSizeLimit(
      before.size() + 3, [&] { return AppendLine(Layer(), Win(u"Mirror.txt"), u"20240307"); });
  EXPECT_EQ(status, kLineNotWritten);
  EXPECT_EQ(Read(u"Mirror.txt"), before);
  // No room at all: the write fails outright.
  EXPECT_EQ(WithFileSizeLimit(before.size(),
                              [&] { return AppendLine(Layer(), Win(u"Mirror.txt"), u"x"); }),
            kLineNotWritten);
  EXPECT_EQ(Read(u"Mirror.txt"), before);
}

TEST(PosixDrives, FolderFollowsXdgDataHomeThenHome) {
  const char* savedXdg = std::getenv("XDG_DATA_HOME");
  const char* savedHome = std::getenv("HOME");
  const std::string xdg = savedXdg ? savedXdg : "";
  const std::string home = savedHome ? savedHome : "";
  ::setenv("XDG_DATA_HOME", "/data", 1);
  ::setenv("HOME", "/home/u", 1);
  EXPECT_EQ(PosixDrives::FolderFromEnvironment(), "/data/calendario/drives");
  ::setenv("XDG_DATA_HOME", "relative", 1);  // not absolute: ignored
  EXPECT_EQ(PosixDrives::FolderFromEnvironment(), "/home/u/.local/share/calendario/drives");
  ::unsetenv("XDG_DATA_HOME");
  ::unsetenv("HOME");
  EXPECT_EQ(PosixDrives::FolderFromEnvironment(), "");
  PosixFileSystem none("");
  EXPECT_EQ(none.Obtain(), FsErrc::kUnavailable);
  savedXdg ? (void)::setenv("XDG_DATA_HOME", xdg.c_str(), 1) : (void)::unsetenv("XDG_DATA_HOME");
  savedHome ? (void)::setenv("HOME", home.c_str(), 1) : (void)::unsetenv("HOME");
}

}  // namespace
}  // namespace calendario
