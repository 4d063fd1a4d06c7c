// The real program, started as a process with its drives in a temporary folder.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
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

  // The worker `watcher` has started, once it is there; 0 when none was seen.
  static pid_t WorkerOf(pid_t watcher) {
    const stdfs::path children =
        "/proc/" + std::to_string(watcher) + "/task/" + std::to_string(watcher) + "/children";
    pid_t worker = 0;
    testing::WaitUntil([&] { return static_cast<bool>(std::ifstream(children) >> worker); });
    return worker;
  }

  stdfs::path temp;
};

// Whether a run holds the turn at `file` (or any other lock on it).
bool TurnHeld(const stdfs::path& file) {
  const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
  struct flock any {};
  any.l_type = F_WRLCK;
  any.l_whence = SEEK_SET;
  const bool held = fd >= 0 && ::fcntl(fd, F_OFD_GETLK, &any) == 0 && any.l_type != F_UNLCK;
  if (fd >= 0) ::close(fd);
  return held;
}

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
  stdfs::create_directories(temp / "home");
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
  // No HOME, one that is no folder, one that is not there (never made): nothing is touched.
  const std::string missing = (temp / "nohome").string();
  for (const std::string& home :
       {std::string(), std::string("HOME=/dev/null"), "HOME=" + missing}) {
    SCOPED_TRACE(home);
    EXPECT_EQ(Start({}, home.empty() ? std::vector<std::string>{} : std::vector{home}).status, 4);
    EXPECT_EQ(std::distance(stdfs::directory_iterator(temp), stdfs::directory_iterator()), 1);
  }
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
  const stdfs::path file = c / "tmpCalendario" / stamp / "Mirror.txt";
  EXPECT_TRUE(testing::WaitUntil([&] {
    std::error_code ec;
    return stdfs::file_size(file, ec) > mirror.size() && !ec;
  })) << "A wrote no part of its line";
  const Outcome b = Start({"-INno"}, {DataHome()});
  const int statusA = testing::WaitExit(a);
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the runs";
  EXPECT_EQ(statusA, 3);
  EXPECT_EQ(b.status, 0);
  EXPECT_EQ(ReadAll(file), mirror + stamp + "\r\n");
}

TEST_F(EndToEnd, AStalledRotationLosesNoLine) {
  // Run A finds the report past the bound and is held up just before it deletes it; run B
  // writes meanwhile. With turns, B waits for the report's turn and writes into the new file;
  // without (a reader's lock in the way), B deletes the old file and starts the new one, which
  // A's delete then leaves alone. Either way no line is lost.
  if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "needs strace";
  const stdfs::path report = temp / "data/calendario/drives/c/Informes/InformeMorvane.txt";
  const stdfs::path today = temp / "data/calendario/drives/c/tmpCalendario" / TodayStamp();
  for (const bool turns : {true, false}) {
    SCOPED_TRACE(turns ? "with turns" : "without turns");
    stdfs::remove_all(temp / "data");
    stdfs::create_directories(report.parent_path());
    std::ofstream(report, std::ios::binary) << std::string(10001, 'x') + "\r\n";
    const int reader = turns ? -1 : ::open(report.c_str(), O_RDONLY | O_CLOEXEC);
    struct flock whole {};
    whole.l_type = F_RDLCK;
    if (!turns) {
      ASSERT_EQ(::fcntl(reader, F_OFD_SETLK, &whole), 0);
    }
    testing::SpawnOptions held{temp, temp / "output"};
    const stdfs::path trace = temp / "trace";
    held.wrapper = {"strace",       "-f", "-o",
                    trace.string(), "-e", "inject=rename,renameat,renameat2:delay_enter=1000000"};
    const pid_t a = testing::Spawn({}, {DataHome(), "PATH=/usr/bin:/bin"}, held);
    // A measures the report once it has made the day's folder, and holds its turn then.
    EXPECT_TRUE(testing::WaitUntil([&] { return stdfs::exists(today) && TurnHeld(report); }));
    const Outcome b = Start({}, {DataHome()});
    EXPECT_EQ(testing::WaitExit(a), 0);
    EXPECT_EQ(b.status, 0);
    if (reader >= 0) ::close(reader);
    // A's worker is a plain fork, sharing no memory with its watcher.
    const std::string calls = ReadAll(trace);
    EXPECT_NE(calls.find(" clone("), std::string::npos);
    EXPECT_EQ(calls.find("CLONE_VM"), std::string::npos);
    std::vector<std::string> lines;
    ASSERT_TRUE(SplitLines(ReadAll(report), lines));
    EXPECT_EQ(lines.size(), 4u);  // two of each run's, in the new file
    for (const auto& line : lines) {
      EXPECT_NE(line.find("  ||  "), std::string::npos) << line.substr(0, 80);
    }
  }
}

// A second user, made with useradd for one test and removed again after it; uid 0 when this
// host cannot have one.
struct OtherUser {
  OtherUser() {
    const passwd* made = nullptr;
    if (::geteuid() == 0 &&
        std::system(("useradd --system --no-create-home " + name + " 2>/dev/null").c_str()) == 0 &&
        (made = ::getpwnam(name.c_str())) != nullptr) {
      uid = made->pw_uid;
      gid = made->pw_gid;
    }
  }
  ~OtherUser() { (void)!std::system(("userdel " + name + " 2>/dev/null").c_str()); }
  std::string name = "calendario-t" + std::to_string(::getpid());
  uid_t uid = 0;
  gid_t gid = 0;
};

TEST_F(EndToEnd, AnotherUserWhoMayOnlyReadNeitherHoldsBackNorBreaksARunInASharedFolder) {
  // A folder everyone may write in, as /tmp is: another user plants names there first, then
  // locks all they can of the files they may read but not write. The run's lines are written at
  // once all the same (the quick copy would lose them waiting), and nothing else is made there.
  const OtherUser other;
  if (other.uid == 0) GTEST_SKIP() << "needs root and useradd, for a second user";
  stdfs::permissions(temp, stdfs::perms::owner_all | stdfs::perms::group_read |
                               stdfs::perms::group_exec | stdfs::perms::others_read |
                               stdfs::perms::others_exec);
  const stdfs::path shared = temp / "shared";
  stdfs::create_directories(shared);
  stdfs::permissions(shared, stdfs::perms::all | stdfs::perms::sticky_bit);
  stdfs::create_directories(temp / "data/calendario/drives");
  stdfs::create_directory_symlink(shared, temp / "data/calendario/drives/d");
  const std::vector<std::string> args = {"-RCD:", "-NAespejo.txt", "-RID:"};
  testing::SpawnOptions asOther{temp, temp / "output"};
  asOther.user = other.uid;
  asOther.group = other.gid;
  asOther.program = "/bin/sh";
  const std::string plant =
      "cd " + shared.string() + " && mkdir .calendario-turns && ln -s /nowhere turns && : > .turns";
  ASSERT_EQ(testing::WaitExit(testing::Spawn({"-c", plant}, {}, asOther)), 0);
  const std::string stamp = TodayStamp();
  ASSERT_EQ(Start(args, {DataHome()}).status, 0);
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  if (holder == 0) {
    if (::setgid(other.gid) != 0 || ::setuid(other.uid) != 0) ::_exit(2);
    for (const char* name : {"espejo.txt", "InformeMorvane.txt"}) {
      const std::string file = (shared / name).string();
      const int posix = ::open(file.c_str(), O_RDONLY);
      const int description = ::open(file.c_str(), O_RDONLY);
      if (posix < 0 || description < 0 || ::open(file.c_str(), O_WRONLY) >= 0) ::_exit(3);
      struct flock whole {};
      whole.l_type = F_RDLCK;
      whole.l_whence = SEEK_SET;
      if (::flock(posix, LOCK_SH) != 0 || ::fcntl(posix, F_SETLK, &whole) != 0 ||
          ::fcntl(description, F_OFD_SETLK, &whole) != 0) {
        ::_exit(4);
      }
    }
    (void)!::write(ready[1], "1", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char ok = 0;
  const bool held = ::read(ready[0], &ok, 1) == 1;
  ::close(ready[0]);
  testing::SpawnOptions quick;
  quick.program = CALENDARIO_QUICK_BINARY;
  const Outcome run = held ? Start(args, {DataHome()}, quick) : Outcome{};
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  ASSERT_TRUE(held) << "the other user could not read and lock the files";
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the runs";
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(ReadAll(shared / "espejo.txt"), stamp + "\r\n" + stamp + "\r\n");
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitLines(ReadAll(shared / "InformeMorvane.txt"), lines));
  EXPECT_EQ(lines.size(), 4u);
  std::vector<std::string> names;
  for (const auto& entry : stdfs::directory_iterator(shared)) {
    names.push_back(entry.path().filename().string());
  }
  std::vector<std::string> expected = {".calendario-turns", ".turns", "InformeMorvane.txt",
                                       "espejo.txt",        stamp,    "turns"};
  std::sort(names.begin(), names.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(names, expected);
}

TEST_F(EndToEnd, ARootRunOrAProcessCapCostsAUserNothing) {
  // A run as root in a user's tree whose files exist changes nothing that the user's later
  // runs can do; a file the user may write is written wherever it lies; and a user who may
  // start no more processes still gets the day's folder.
  const OtherUser other;
  if (other.uid == 0) GTEST_SKIP() << "needs root and useradd, for a second user";
  stdfs::permissions(temp, stdfs::perms::owner_all | stdfs::perms::others_exec);
  const stdfs::path home = temp / "home";
  stdfs::create_directories(home);
  ::chown(home.c_str(), other.uid, other.gid);
  const std::string dataHome = "XDG_DATA_HOME=" + (home / "data").string();
  testing::SpawnOptions asOther;
  asOther.user = other.uid;
  asOther.group = other.gid;
  const std::string stamp = TodayStamp();
  EXPECT_EQ(Start({}, {dataHome}, asOther).status, 0);
  EXPECT_EQ(Start({}, {dataHome}).status, 0);  // root
  EXPECT_EQ(Start({}, {dataHome}, asOther).status, 0);
  const stdfs::path c = home / "data/calendario/drives/c";
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the runs";
  EXPECT_EQ(ReadAll(c / "tmpCalendario" / stamp / "Mirror.txt"),
            stamp + "\r\n" + stamp + "\r\n" + stamp + "\r\n");
  std::vector<std::string> lines;
  ASSERT_TRUE(SplitLines(ReadAll(c / "Informes/InformeMorvane.txt"), lines));
  EXPECT_EQ(lines.size(), 6u);

  // A report the user may write, in a folder where the user may make nothing (a shared log an
  // administrator made), still gets the user's lines.
  const stdfs::path shared = temp / "registro";
  stdfs::create_directories(shared);
  std::ofstream(shared / "InformeMorvane.txt") << "";
  stdfs::permissions(shared / "InformeMorvane.txt", stdfs::perms::all);
  stdfs::create_directories(home / "data/calendario/drives");
  stdfs::create_directory_symlink(shared, home / "data/calendario/drives/r");
  EXPECT_EQ(Start({"-RIR:"}, {dataHome}, asOther).status, 0);
  ASSERT_TRUE(SplitLines(ReadAll(shared / "InformeMorvane.txt"), lines));
  EXPECT_EQ(lines.size(), 2u);
  // The user's own report, made read-only past the bound: deleted all the same, and the next
  // line starts the new one.
  const stdfs::path own = c / "Informes/InformeMorvane.txt";
  std::ofstream(own, std::ios::app) << std::string(10001, 'x') << "\r\n";
  stdfs::permissions(own, stdfs::perms::owner_read);
  EXPECT_EQ(Start({}, {dataHome}, asOther).status, 0);
  ASSERT_TRUE(SplitLines(ReadAll(own), lines));
  EXPECT_EQ(lines.size(), 2u);

  stdfs::remove_all(c / "tmpCalendario" / stamp);
  asOther.processLimit = 1;
  EXPECT_EQ(Start({}, {dataHome}, asOther).status, 0);
  EXPECT_TRUE(stdfs::is_regular_file(c / "tmpCalendario" / stamp / "Mirror.txt"));
}

// A network share mounted as drive D: for the test's life: tests/fuse-share.py with `args`.
class Share {
 public:
  Share(const stdfs::path& temp, std::vector<std::string> args) : folder_(temp / "share") {
    stdfs::create_directories(folder_);
    testing::SpawnOptions daemon{temp, temp / "share-output"};
    daemon.program = "/usr/bin/python3";
    args.insert(args.begin(),
                {std::string(CALENDARIO_SOURCE_DIR) + "/tests/fuse-share.py", folder_.string()});
    server_ = testing::Spawn(std::move(args), {}, daemon);
    std::string mountPoint = folder_.string();
    mountPoint.insert(mountPoint.begin(), ' ');
    mountPoint.push_back(' ');
    for (int i = 0; i < 100 && !mounted_; ++i) {
      mounted_ = ReadAll("/proc/self/mounts").find(mountPoint) != std::string::npos;
      if (!mounted_) ::usleep(50000);
    }
    stdfs::create_directories(temp / "data/calendario/drives");
    stdfs::create_directory_symlink(folder_, temp / "data/calendario/drives/d");
  }
  // Ending the share frees the workers still waiting on it.
  ~Share() {
    ::kill(server_, SIGKILL);
    ::waitpid(server_, nullptr, 0);
    ::umount2(folder_.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return mounted_; }

 private:
  stdfs::path folder_;
  pid_t server_ = -1;
  bool mounted_ = false;
};

// What lies in `folder` and below it, each path with its size (folders: 0).
std::map<std::string, std::uintmax_t> Listing(const stdfs::path& folder) {
  std::map<std::string, std::uintmax_t> listing;
  for (const auto& entry : stdfs::recursive_directory_iterator(folder)) {
    listing[entry.path().string()] = entry.is_regular_file() ? entry.file_size() : 0;
  }
  return listing;
}

// The sanitizers' runtime cannot start in a small address space.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

TEST_F(EndToEnd, AShareThatNeverAnswersEndsTheRunWithinItsBound) {
  // A drive on a network share that stopped answering: a call there never returns, and no
  // signal can end it. The run still ends in its bound (3 seconds for the quick copy), also
  // when it was started with SIGALRM blocked, or with 10 MB of address space.
  if (!stdfs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse here: no FUSE file system";
  struct Case {
    const char* name;
    bool blockAlarm;
    std::vector<std::string> wrapper;
  };
  const Case cases[] = {{"as started by a scheduler", false, {}},
                        {"SIGALRM blocked", true, {}},
                        {"in 10 MB of address space", false, {"prlimit", "--as=10000000"}}};
  {
    const Share share(temp, {"hung"});
    if (!share.Mounted()) GTEST_SKIP() << "no share: " << ReadAll(temp / "share-output");
    testing::SpawnOptions quick;
    quick.program = CALENDARIO_QUICK_BINARY;
    for (const Case& c : cases) {
      if (kSanitized && !c.wrapper.empty()) continue;
      SCOPED_TRACE(c.name);
      quick.blockAlarm = c.blockAlarm;
      quick.wrapper = c.wrapper;
      const Outcome run = Start({"-RCD:\\Datos", "-INno"}, {DataHome()}, quick);
      EXPECT_EQ(run.status, 5);
      EXPECT_EQ(run.output, "");
    }
  }

  // A share that answers each call late: the worker is still at work when its watcher gives
  // up, and makes nothing after status 5 but the step it was in then (one folder level, one
  // file, or one line).
  stdfs::remove_all(temp / "data");
  stdfs::create_directories(temp / "backing");
  const Share slow(temp, {(temp / "backing").string(), "--delay", "0.4"});
  if (!slow.Mounted()) GTEST_SKIP() << "no share: " << ReadAll(temp / "share-output");
  // The worker outlives its watcher: it is handed to this process, which waits for it to end.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  testing::SpawnOptions quick{temp, temp / "output"};
  quick.program = CALENDARIO_QUICK_BINARY;
  const pid_t watcher = testing::Spawn({"-RCD:\\Datos", "-RID:\\Informes"}, {DataHome()}, quick);
  const pid_t worker = WorkerOf(watcher);
  const int status = testing::WaitExit(watcher);
  const auto atStatus = Listing(temp / "backing");
  if (worker != 0) ::waitpid(worker, nullptr, 0);
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
  ASSERT_NE(worker, 0) << "no worker seen";
  ASSERT_EQ(status, 5);
  int changes = 0;
  for (const auto& [path, size] : Listing(temp / "backing")) {
    const auto it = atStatus.find(path);
    if (it == atStatus.end() || it->second != size) ++changes;
  }
  EXPECT_LE(changes, 1);
}

TEST_F(EndToEnd, AWorkerEndedBeforeItCouldTellGivesAStatusOfItsOwn) {
  // The worker waits for a turn someone else holds, and is killed meanwhile: the status is
  // neither 5 (past the bound) nor one a run gives.
  const stdfs::path report = temp / "data/calendario/drives/c/Informes/InformeMorvane.txt";
  stdfs::create_directories(report.parent_path());
  std::ofstream(report) << "";
  const int holder = ::open(report.c_str(), O_RDWR | O_CLOEXEC);
  struct flock whole {};
  whole.l_type = F_WRLCK;
  whole.l_whence = SEEK_SET;
  ASSERT_EQ(::fcntl(holder, F_OFD_SETLK, &whole), 0);
  testing::SpawnOptions quick{temp, temp / "output"};
  quick.program = CALENDARIO_QUICK_BINARY;
  const pid_t watcher = testing::Spawn({}, {DataHome()}, quick);
  const pid_t worker = WorkerOf(watcher);
  if (worker != 0) ::kill(worker, SIGKILL);
  const int status = testing::WaitExit(watcher);
  ::close(holder);
  ASSERT_NE(worker, 0) << "no worker seen";
  EXPECT_EQ(status, 7);
}

TEST_F(EndToEnd, AShareThatKeepsNoLocksGetsTheWholeRun) {
  // A share whose server refuses every lock: the runs go ahead without their turns, each line
  // one whole write.
  if (!stdfs::exists("/dev/fuse")) GTEST_SKIP() << "no /dev/fuse here: no FUSE file system";
  for (const char* refusal : {"EINVAL", "ENOLCK"}) {
    SCOPED_TRACE(refusal);
    stdfs::remove_all(temp / "backing");
    stdfs::create_directories(temp / "backing");
    stdfs::remove_all(temp / "data");
    const Share share(temp, {(temp / "backing").string(), "--locks", refusal});
    if (!share.Mounted()) GTEST_SKIP() << "no share: " << ReadAll(temp / "share-output");
    const std::string stamp = TodayStamp();
    for (int run = 0; run < 2; ++run) {
      EXPECT_EQ(Start({"-RCD:\\Datos", "-RID:\\Informes"}, {DataHome()}).status, 0);
    }
    if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the runs";
    EXPECT_EQ(ReadAll(temp / "backing/Datos" / stamp / "Mirror.txt"),
              stamp + "\r\n" + stamp + "\r\n");
    std::vector<std::string> lines;
    ASSERT_TRUE(SplitLines(ReadAll(temp / "backing/Informes/InformeMorvane.txt"), lines));
    EXPECT_EQ(lines.size(), 4u);
  }
}

TEST_F(EndToEnd, AFileSizeLimitLeavesTheReportFileExactAndTheRunUnchanged) {
  const stdfs::path c = temp / "data/calendario/drives/c";
  stdfs::create_directories(c / "Informes");
  std::string report;
  while (report.size() < 5000) report += "una l\xednea\r\n";
  std::ofstream(c / "Informes/InformeMorvane.txt", std::ios::binary) << report;
  testing::SpawnOptions options{temp, temp / "output"};
  options.fileSizeLimit = report.size() + 3;
  EXPECT_EQ(testing::WaitExit(testing::Spawn({}, {DataHome()}, options)), 8);
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
