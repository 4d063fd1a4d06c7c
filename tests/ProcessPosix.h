// Starting the real program as a child process, for the POSIX end-to-end tests.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace calendario::testing {

struct SpawnOptions {
  std::filesystem::path cwd = "/";
  std::filesystem::path output = "/dev/null";  // stdout and stderr
  int gate = -1;        // when set, the child waits for this pipe to close first
  int gateWriter = -1;  // the pipe's other end, which the child must not hold open
  rlim_t fileSizeLimit = RLIM_INFINITY;
  std::vector<std::string> wrapper = {};    // a command that starts the program, such as strace
  std::string program = CALENDARIO_BINARY;  // or CALENDARIO_QUICK_BINARY, whose bound is short
  bool blockAlarm = false;                  // started with SIGALRM blocked, as a launcher may
  uid_t user = 0;                           // when set, run as this user (and `group`)
  gid_t group = 0;
  rlim_t processLimit = RLIM_INFINITY;  // the user's processes, as prlimit --nproc sets it
};

// Starts the program with `args` and only the variables in `env`.
inline pid_t Spawn(std::vector<std::string> args, std::vector<std::string> env,
                   const SpawnOptions& options = {}) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  if (options.gate >= 0) {
    if (options.gateWriter >= 0) ::close(options.gateWriter);
    char c;
    while (::read(options.gate, &c, 1) > 0) {
    }
  }
  const int sink = ::open(options.output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  ::dup2(sink, 1);
  ::dup2(sink, 2);
  if (::chdir(options.cwd.c_str()) != 0) ::_exit(126);
  if (options.fileSizeLimit != RLIM_INFINITY) {
    // SIGXFSZ keeps its default action: the program itself must not die of it.
    ::signal(SIGXFSZ, SIG_DFL);
    const rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (options.user != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(options.group) != 0 ||
                            ::setuid(options.user) != 0)) {
    ::_exit(125);
  }
  if (options.processLimit != RLIM_INFINITY) {
    const rlimit limit{options.processLimit, options.processLimit};
    ::setrlimit(RLIMIT_NPROC, &limit);
  }
  if (options.blockAlarm) {
    sigset_t alarm;
    sigemptyset(&alarm);
    sigaddset(&alarm, SIGALRM);
    ::sigprocmask(SIG_BLOCK, &alarm, nullptr);
  }
  std::vector<std::string> command = options.wrapper;
  command.push_back(options.program);
  command.insert(command.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  ::execvpe(argv[0], argv.data(), envp.data());
  ::_exit(127);
}

// Waits, a few milliseconds at a time, until `reached` says that another process has reached
// the point a test needs; false when it has not within 30 seconds.
template <typename Reached>
bool WaitUntil(Reached reached) {
  for (int i = 0; i < 6000; ++i) {
    if (reached()) return true;
    ::usleep(5000);
  }
  return false;
}

// The child's exit status, or -1 when it did not exit normally.
inline int WaitExit(pid_t child) {
  int status = 0;
  if (::waitpid(child, &status, 0) != child) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace calendario::testing
