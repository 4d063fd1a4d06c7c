// Many runs of the real program let go at the same moment, for the concurrency tests: a
// launcher per platform (RunsTogether_posix.cpp, RunsTogether_win32.cpp), each with a fresh
// folder of its own that the runs' Windows paths name.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace calendario::testing {

class RunsTogether {
 public:
  RunsTogether();
  ~RunsTogether();
  RunsTogether(const RunsTogether&) = delete;
  RunsTogether& operator=(const RunsTogether&) = delete;

  // How many runs are let go at once, and how many rounds a test makes of them: as many as a
  // busy machine of two cores gets through well within the tests' timeouts on this platform.
  static const int kRuns;
  static const int kRounds;

  // The Windows path (UTF-8) and the host path of `name` in the test's folder.
  std::string Windows(const std::string& name) const;
  std::filesystem::path Host(const std::string& name) const;
  // Starts kRuns programs with `args`, which all wait until the last has started; their exit
  // statuses.
  std::vector<int> Run(const std::vector<std::string>& args);
  // What the runs wrote to a console: nothing, ever.
  std::string Output() const;

 private:
  std::filesystem::path temp_;
};

}  // namespace calendario::testing
