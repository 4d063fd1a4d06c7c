// The real program, started as a process with its drives in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <vector>

#include "tests/ProcessPosix.h"
#include "tests/RealDisk.h"
#include "tests/TestFiles.h"

namespace calendario {
namespace {

using testing::ReadAll;
using testing::SplitLines;
using testing::TodayStamp;

namespace stdfs = std::filesystem;

struct Outcome {
  int status = -1;
  std::string output;  // stdout and stderr together
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { temp = testing::MakeTempFolder(); }
  void TearDown() override { stdfs::remove_all(temp); }

  // Runs the program with `args` and only the variables in `env`, in the test's folder.
  Outcome Start(std::vector<std::string> args, std::vector<std::string> env,
                testing::SpawnOptions options = {}) {
    options.cwd = temp;
    options.output = temp / "output";
    const pid_t child = testing::Spawn(std::move(args), std::move(env), options);
    const int status = testing::WaitExit(child);
    return {status, ReadAll(options.output)};
  }
  std::string DataHome() const { return "XDG_DATA_HOME=" + (temp / "data").string(); }

  stdfs::path temp;
};

TEST_F(EndToEnd, ADefaultRunMakesTodaysFolderAndMirrorFileSilently) {
  const std::string before = TodayStamp();
  const Outcome first = Start({}, {DataHome()});
  const std::string stamp = TodayStamp();
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(first.output, "");
  const stdfs::path mirror = temp / "data/calendario/drives/c/tmpCalendario" / stamp / "Mirror.txt";
  if (before != stamp && !stdfs::exists(mirror)) GTEST_SKIP() << "midnight passed during the run";
  EXPECT_EQ(ReadAll(mirror), stamp + "\r\n");
  const std::string report = ReadAll(temp / "data/calendario/drives/c/Informes/InformeMorvane.txt");
  const std::regex lines("[^\r\n]+  \\|\\|  Se ha creado la carpeta C:\\\\tmpCalendario\\\\" +
                         stamp +
                         "\r\n"
                         "[^\r\n]+  \\|\\|  Se ha creado el archivo Mirror\\.txt\r\n");
  EXPECT_TRUE(std::regex_match(report, lines)) << report;

  EXPECT_EQ(Start({}, {DataHome()}).status, 0);
  EXPECT_EQ(ReadAll(mirror), stamp + "\r\n" + stamp + "\r\n");
}

TEST_F(EndToEnd, TheDateTimeTextFollowsTheTimeLocale) {
  // The C locale's %x %X: MM/DD/YY HH:MM:SS.
  ASSERT_EQ(Start({}, {DataHome(), "LC_ALL=C"}).status, 0);
  const std::string report = ReadAll(temp / "data/calendario/drives/c/Informes/InformeMorvane.txt");
  EXPECT_TRUE(
      std::regex_search(report, std::regex("^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d  \\|\\|  ")))
      << report;
}

TEST_F(EndToEnd, HomeIsUsedWithoutAUsableXdgDataHome) {
  const std::string home = "HOME=" + (temp / "home").string();
  const stdfs::path drives = temp / "home/.local/share/calendario/drives";
  EXPECT_EQ(Start({}, {home}).status, 0);
  EXPECT_TRUE(stdfs::is_directory(drives / "c/tmpCalendario"));
  // XDG_DATA_HOME naming a file is as good as not set.
  std::ofstream(temp / "a-file") << "not a folder";
  for (const std::string& xdg : {(temp / "a-file").string(), std::string("/dev/null")}) {
    SCOPED_TRACE(xdg);
    stdfs::remove_all(drives);
    EXPECT_EQ(Start({}, {home, "XDG_DATA_HOME=" + xdg}).status, 0);
    EXPECT_TRUE(stdfs::is_directory(drives / "c/tmpCalendario"));
  }
}

TEST_F(EndToEnd, NothingItReadsAtTheStartCanHoldTheRunUp) {
  // A FIFO named as the time zone blocks the C library's loader until someone writes to it.
  const stdfs::path fifo = temp / "zone";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
  std::string named = fifo.string();
  named.insert(named.begin(), ':');
  for (const std::string& tz : {named, fifo.string()}) {
    SCOPED_TRACE(tz);
    EXPECT_EQ(Start({}, {DataHome(), "TZ=" + tz}).status, 0);
  }
  // A rule, an empty TZ, or a rule that needs the default daylight-saving rules is looked up
  // as a file under TZDIR first: FIFOs there must not stall the run either (the quick copy
  // ends a stalled run with status 5 in seconds).
  const stdfs::path zones = temp / "zones";
  stdfs::create_directories(zones);
  for (const char* name : {"UTC0", "Universal", "XYZ3ABC", "posixrules"}) {
    ASSERT_EQ(::mkfifo((zones / name).c_str(), 0644), 0);
  }
  testing::SpawnOptions quick;
  quick.program = CALENDARIO_QUICK_BINARY;
  for (const std::string tz : {"UTC0", "", "XYZ3ABC"}) {
    SCOPED_TRACE("TZ=" + tz);
    EXPECT_EQ(Start({"-INsi"}, {DataHome(), "TZ=" + tz, "TZDIR=" + zones.string()}, quick).status,
              0);
  }
}

TEST_F(EndToEnd, WithNowhereForTheDrivesTheRunEndsWithStatus4) {
  EXPECT_EQ(Start({}, {}).status, 4);
  EXPECT_EQ(std::distance(stdfs::directory_iterator(temp), stdfs::directory_iterator()), 1);
}

TEST_F(EndToEnd, AFolderThatCannotBeMadeEndsWithStatus1) {
  stdfs::create_directories(temp / "data/calendario/drives/c");
  std::ofstream(temp / "data/calendario/drives/c/tmpCalendario") << "in the way";
  EXPECT_EQ(Start({}, {DataHome()}).status, 1);
}

TEST_F(EndToEnd, OptionsComeFromTheRealArguments) {
  const stdfs::path datos = temp / "datos";
  stdfs::create_directories(datos);
  stdfs::create_directories(temp / "data/calendario/drives");
  stdfs::create_directory_symlink(datos, temp / "data/calendario/drives/d");
  const std::string before = TodayStamp();
  ASSERT_EQ(Start({"-RCD:\\Datos\\A\xc3\xb1o", "-INno"}, {DataHome()}).status, 0);
  const std::string stamp = TodayStamp();
  if (before != stamp) GTEST_SKIP() << "midnight passed during the run";
  EXPECT_EQ(ReadAll(datos / "Datos/A\xc3\xb1o" / stamp / "Mirror.txt"), stamp + "\r\n");
  EXPECT_FALSE(stdfs::exists(temp / "data/calendario/drives/c/Informes"));

  // An argument holding a space is split there: quoting does not group.
  ASSERT_EQ(Start({"-RCD:\\Mis Datos", "-NAx.txt"}, {DataHome()}).status, 0);
  EXPECT_EQ(ReadAll(datos / "Mis/x.txt"), stamp + "\r\n");
}

TEST_F(EndToEnd, AFileSizeLimitFailsTheAppendAndKeepsTheMirrorFileExact) {
  const stdfs::path c = temp / "data/calendario/drives/c";
  const std::string stamp = TodayStamp();
  stdfs::create_directories(c / "tmpCalendario" / stamp);
  const std::string mirror(1000, 'm');
  std::ofstream(c / "tmpCalendario" / stamp / "Mirror.txt", std::ios::binary) << mirror;
  testing::SpawnOptions options{temp, temp / "output"};
  options.fileSizeLimit = mirror.size() + 3;  // room for part of the line only
  const int status = testing::WaitExit(testing::Spawn({}, {DataHome()}, options));
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the run";
  EXPECT_EQ(status, 3);
  EXPECT_EQ(ReadAll(c / "tmpCalendario" / stamp / "Mirror.txt"), mirror);
  // The report file, still small, took both lines.
  EXPECT_NE(ReadAll(c / "Informes/InformeMorvane.txt").find("el archivo Mirror.txt\r\n"),
            std::string::npos);
}

TEST_F(EndToEnd, ACutBackNeverTakesAnotherRunsLine) {
  // Run A's line does not fit, and A is held up just before it cuts its part back; run B
  // appends meanwhile. A must take out only its own bytes, and B's line must stay.
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
  const stdfs::path c = temp / "data/calendario/drives/c";
  const std::string stamp = TodayStamp();
  stdfs::create_directories(c / "tmpCalendario" / stamp);
  const std::string mirror = std::string(1000, 'm') + "\r\n";
  std::ofstream(c / "tmpCalendario" / stamp / "Mirror.txt", std::ios::binary) << mirror;
  testing::SpawnOptions held{temp, temp / "output"};
  held.fileSizeLimit = mirror.size() + 3;
  held.wrapper = {"strace", "-f", "-o", "/dev/null", "-e", "inject=ftruncate:delay_enter=1000000"};
  const pid_t a = testing::Spawn({"-INno"}, {DataHome(), "PATH=/usr/bin:/bin"}, held);
  ::usleep(300000);
  const Outcome b = Start({"-INno"}, {DataHome()});
  const int statusA = testing::WaitExit(a);
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the runs";
  EXPECT_EQ(statusA, 3);
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(ReadAll(c / "tmpCalendario" / stamp / "Mirror.txt"), mirror + stamp + "\r\n");
}

TEST_F(EndToEnd, AStalledRotationLosesNoLine) {
  // Run A finds the report past the bound and is held up just before it deletes it; run B
  // writes meanwhile. B waits for the report's turn and writes into the new file: no line
  // goes into the file being deleted, or between A's look and its delete.
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
  const stdfs::path report = temp / "data/calendario/drives/c/Informes/InformeMorvane.txt";
  stdfs::create_directories(report.parent_path());
  std::ofstream(report, std::ios::binary) << std::string(10001, 'x') + "\r\n";
  testing::SpawnOptions held{temp, temp / "output"};
  held.wrapper = {"strace", "-f", "-o", "/dev/null", "-e", "inject=unlinkat:delay_enter=1000000"};
  const pid_t a = testing::Spawn({}, {DataHome(), "PATH=/usr/bin:/bin"}, held);
  ::usleep(300000);
  const Outcome b = Start({}, {DataHome()});
  EXPECT_EQ(testing::WaitExit(a), 0);
  EXPECT_EQ(b.status, 0);
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitLines(ReadAll(report), lines));
  EXPECT_EQ(lines.size(), 4u);  // two of each run's, in the new file
  for (const auto& line : lines) EXPECT_NE(line.find("  ||  "), std::string::npos) << line;
}

TEST_F(EndToEnd, AUserWhoMayOnlyReadHoldsNoRunBack) {
  // Another user, who may read the files and their folders but write none of them, locks all
  // they can: the run's lines are written at once all the same.
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be and to make another user";
  if (std::system("id calendario-reader >/dev/null 2>&1") != 0 &&
      std::system("useradd --system --no-create-home calendario-reader >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "useradd could not make a second user";
  }
  const passwd* reader = ::getpwnam("calendario-reader");
  ASSERT_NE(reader, nullptr);
  stdfs::permissions(temp, stdfs::perms::owner_all | stdfs::perms::group_read |
                               stdfs::perms::group_exec | stdfs::perms::others_read |
                               stdfs::perms::others_exec);
  const std::string stamp = TodayStamp();
  ASSERT_EQ(Start({}, {DataHome()}).status, 0);  // the files and their turn files are there
  const stdfs::path c = temp / "data/calendario/drives/c";
  const stdfs::path report = c / "Informes/InformeMorvane.txt";
  const stdfs::path mirror = c / "tmpCalendario" / stamp / "Mirror.txt";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    if (::setgid(reader->pw_gid) != 0 || ::setuid(reader->pw_uid) != 0) ::_exit(2);
    char turnsRefused = 1;
    for (const stdfs::path& file : {report, mirror}) {
      const int fd = ::open(file.c_str(), O_RDONLY);
      const int folder = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
      if (fd < 0 || folder < 0) ::_exit(3);
      struct flock whole {};
      whole.l_type = F_RDLCK;
      whole.l_whence = SEEK_SET;
      if (::flock(fd, LOCK_SH) != 0 || ::fcntl(fd, F_SETLK, &whole) != 0 ||
          ::flock(folder, LOCK_SH) != 0) {
        ::_exit(4);
      }
      const stdfs::path turns = file.parent_path() / ".calendario-turns";
      if (::open(turns.c_str(), O_RDONLY) >= 0 || errno != EACCES) turnsRefused = 0;
    }
    (void)!::write(ready[1], &turnsRefused, 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char turnsRefused = 0;
  const bool held = ::read(ready[0], &turnsRefused, 1) == 1;
  ::close(ready[0]);
  const Outcome run = held ? Start({}, {DataHome()}) : Outcome{};
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(held) << "the other user could not read and lock the files";
  EXPECT_EQ(turnsRefused, 1) << "the other user could open a turn file";
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the runs";
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadAll(mirror), stamp + "\r\n" + stamp + "\r\n");
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitLines(ReadAll(report), lines));
  EXPECT_EQ(lines.size(), 4u);
}

TEST_F(EndToEnd, AShareThatNeverAnswersEndsTheRunWithinItsBound) {
  // A drive on a network share that stopped answering: a call there never returns, and no
  // signal can end it. The run still ends in its bound (3 seconds for the quick copy), also
  // when it was started with SIGALRM blocked.
  if (!stdfs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse here: no FUSE file system";
  const stdfs::path share = temp / "share";
  stdfs::create_directories(share);
  testing::SpawnOptions daemon{temp, temp / "share-output"};
  daemon.program = "/usr/bin/python3";
  const pid_t server = testing::Spawn(
      {std::string(CALENDARIO_SOURCE_DIR) + "/tests/hung-share.py", share}, {}, daemon);
  bool mounted = false;
  for (int i = 0; i < 100 && !mounted; ++i) {
    mounted = ReadAll("/proc/self/mounts").find(" " + share.string() + " ") != std::string::npos;
    if (!mounted) ::usleep(50000);
  }
  if (!mounted) {
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    GTEST_SKIP() << "the hung share could not be mounted: " << ReadAll(temp / "share-output");
  }
  stdfs::create_directories(temp / "data/calendario/drives");
  stdfs::create_directory_symlink(share, temp / "data/calendario/drives/d");
  for (const bool blockAlarm : {false, true}) {
    SCOPED_TRACE(blockAlarm ? "SIGALRM blocked" : "as started by a scheduler");
    testing::SpawnOptions quick;
    quick.program = CALENDARIO_QUICK_BINARY;
    quick.blockAlarm = blockAlarm;
    const Outcome run = Start({"-RCD:\\Datos", "-INno"}, {DataHome()}, quick);
    EXPECT_EQ(run.status, 5);
    EXPECT_EQ(run.output, "");
  }
  // Ending the share frees the workers still waiting on it.
  ::kill(server, SIGKILL);
  ::waitpid(server, nullptr, 0);
  ::umount2(share.c_str(), MNT_DETACH);
}

TEST_F(EndToEnd, AFileSizeLimitLeavesTheReportFileExactAndTheRunUnchanged) {
  const stdfs::path c = temp / "data/calendario/drives/c";
  stdfs::create_directories(c / "Informes");
  std::string report;
  while (report.size() < 5000) report += "una l\xednea\r\n";
  std::ofstream(c / "Informes/InformeMorvane.txt", std::ios::binary) << report;
  testing::SpawnOptions options{temp, temp / "output"};
  options.fileSizeLimit = report.size() + 3;
  EXPECT_EQ(testing::WaitExit(testing::Spawn({}, {DataHome()}, options)), 0);
  EXPECT_EQ(ReadAll(c / "Informes/InformeMorvane.txt"), report);
}

TEST_F(EndToEnd, ArgumentsNoOneShouldGiveFailCleanly) {
  std::vector<std::string> thousand;
  for (int i = 0; i < 1000; ++i) thousand.push_back("-RCC:\\n" + std::to_string(i));
  EXPECT_EQ(Start(thousand, {DataHome()}).status, 0);
  EXPECT_TRUE(stdfs::is_directory(temp / "data/calendario/drives/c/n9"));
  EXPECT_FALSE(stdfs::exists(temp / "data/calendario/drives/c/n10"));

  const Outcome huge = Start({"-RCC:\\" + std::string(40000, 'a')}, {DataHome()});
  EXPECT_EQ(huge.status, 1);
  EXPECT_EQ(huge.output, "");

  // Bytes that are not UTF-8 name the folder byte for byte.
  EXPECT_EQ(Start({"-RCC:\\raw\xff\xfe"}, {DataHome()}).status, 0);
  EXPECT_TRUE(stdfs::is_directory(temp / "data/calendario/drives/c/raw\xff\xfe"));

  for (const std::string bad :
       {"-RCC:\\CON", "-RCC:\\a\x01", "-RC\\\\?\\C:\\x", "-RC\\\\.\\C:\\x",
        "-RCZ:\\..\\..\\proc\\self", "-RC\\\\srv\\share", "-RC\\", "-RC\\\\\\x", "-RCC:\\CONIN$"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(Start({bad, "-INno"}, {DataHome()}).status, 1);
  }
  EXPECT_FALSE(stdfs::exists(temp / "data/calendario/drives/c/CON"));
  EXPECT_FALSE(stdfs::exists(temp / "data/calendario/drives/c/srv"));
  EXPECT_FALSE(stdfs::exists(temp / "data/calendario/drives/c/x"));
  EXPECT_FALSE(stdfs::exists(temp / "data/calendario/drives/c/CONIN$"));
}

}  // namespace
}  // namespace calendario
