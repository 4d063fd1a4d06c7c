// Windows only: the runs are made suspended and then all resumed, under Wine in CI.
#include <windows.h>

#include "tests/RealDisk.h"
#include "tests/RunsTogether.h"
#include "tests/TestFiles.h"

namespace calendario::testing {

// Fewer than on Linux: under Wine every start of a process costs tens of milliseconds more.
const int RunsTogether::kRuns = 16;
const int RunsTogether::kRounds = 8;

RunsTogether::RunsTogether() : temp_(MakeTempFolder()) {}

RunsTogether::~RunsTogether() {
  std::error_code ec;
  std::filesystem::remove_all(temp_, ec);
}

std::string RunsTogether::Windows(const std::string& name) const {
  return (temp_ / name).string();
}

std::filesystem::path RunsTogether::Host(const std::string& name) const {
  return temp_ / name;
}

// Under load Wine now and then fails to create a process: that is tried again, since a run
// that never started says nothing about the program.
std::vector<int> RunsTogether::Run(const std::vector<std::string>& args) {
  std::string host = CALENDARIO_BINARY;
  if (!host.empty() && host[0] == '/') host = "Z:" + host;
  for (char& c : host) {
    if (c == '/') c = '\\';
  }
  std::string line = "\"" + host + "\"";
  for (const std::string& arg : args) line += " " + arg;
  const std::wstring commandLine(line.begin(), line.end());
  const std::wstring folder = temp_.wstring();
  std::vector<PROCESS_INFORMATION> processes;
  for (int i = 0; i < kRuns; ++i) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    bool created = false;
    for (int attempt = 0; attempt < 5 && !created; ++attempt) {
      std::wstring mutableLine = commandLine;
      created = ::CreateProcessW(nullptr, mutableLine.data(), nullptr, nullptr, FALSE,
                                 CREATE_SUSPENDED, nullptr, folder.c_str(), &startup, &process);
      if (!created) ::Sleep(50);
    }
    if (created) processes.push_back(process);
  }
  for (const auto& process : processes) ::ResumeThread(process.hThread);
  std::vector<int> statuses;
  for (const auto& process : processes) {
    ::WaitForSingleObject(process.hProcess, 120000);
    DWORD status = 0xFFFFFFFF;
    ::GetExitCodeProcess(process.hProcess, &status);
    statuses.push_back(static_cast<int>(status));
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
  }
  return statuses;
}

std::string RunsTogether::Output() const {
  return {};  // the runs were given no console and no output handles
}

}  // namespace calendario::testing
