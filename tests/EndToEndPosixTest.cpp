// The real program, started as a process with its drives in a temporary folder.
#include <gtest/gtest.h>
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
  Outcome Start(std::vector<std::string> args, std::vector<std::string> env) {
    const stdfs::path out = temp / "output";
    const pid_t child = testing::Spawn(std::move(args), std::move(env), {temp, out});
    const int status = testing::WaitExit(child);
    return {status, ReadAll(out)};
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
