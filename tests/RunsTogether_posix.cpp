// POSIX only: the runs' drive C: is a folder of the test's.
#include <unistd.h>

#include "tests/ProcessPosix.h"
#include "tests/RealDisk.h"
#include "tests/RunsTogether.h"
#include "tests/TestFiles.h"

namespace calendario::testing {

const int RunsTogether::kRuns = 32;
const int RunsTogether::kRounds = 20;

RunsTogether::RunsTogether() : temp_(MakeTempFolder()) {
  std::filesystem::create_directories(temp_ / "data/calendario/drives/c");
}

RunsTogether::~RunsTogether() {
  std::error_code ec;
  std::filesystem::remove_all(temp_, ec);
}

std::string RunsTogether::Windows(const std::string& name) const {
  return "C:\\" + name;
}

std::filesystem::path RunsTogether::Host(const std::string& name) const {
  return temp_ / "data/calendario/drives/c" / name;
}

std::vector<int> RunsTogether::Run(const std::vector<std::string>& args) {
  int gate[2];
  if (::pipe(gate) != 0) return {};
  std::vector<pid_t> children;
  for (int i = 0; i < kRuns; ++i) {
    SpawnOptions options;
    options.cwd = temp_;
    options.output = temp_ / "output";
    options.gate = gate[0];
    options.gateWriter = gate[1];
    children.push_back(Spawn(args, {"XDG_DATA_HOME=" + (temp_ / "data").string()}, options));
  }
  ::close(gate[0]);
  ::close(gate[1]);  // every child's read returns now
  std::vector<int> statuses;
  for (pid_t child : children) statuses.push_back(WaitExit(child));
  return statuses;
}

std::string RunsTogether::Output() const {
  return ReadAll(temp_ / "output");
}

}  // namespace calendario::testing
