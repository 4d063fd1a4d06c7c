// The real calendario.exe, started as a process by CreateProcessW.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "tests/RealDisk.h"

namespace calendario {
namespace {

namespace stdfs = std::filesystem;

// The program's path as Windows names it: under Wine a host path is drive Z:.
std::wstring ProgramPath() {
  std::string host = CALENDARIO_BINARY;
  if (!host.empty() && host[0] == '/') host = "Z:" + host;
  for (char& c : host) {
    if (c == '/') c = '\\';
  }
  return std::wstring(host.begin(), host.end());
}

std::string Today() {
  SYSTEMTIME now;
  ::GetLocalTime(&now);
  char stamp[16];
  std::snprintf(stamp, sizeof stamp, "%04u%02u%02u", now.wYear, now.wMonth, now.wDay);
  return stamp;
}

std::string ReadAll(const stdfs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct Outcome {
  DWORD status = 0xFFFFFFFF;
  std::string output;  // whatever reached stdout or stderr
};

class EndToEnd : public ::testing::Test {
 protected:
  void SetUp() override { temp = testing::MakeTempFolder(); }
  void TearDown() override {
    std::error_code ec;
    stdfs::remove_all(temp, ec);
  }

  // Starts the program with `arguments` after its quoted name, its output sent to a file.
  Outcome Start(const std::wstring& arguments) {
    const stdfs::path out = temp / "output.txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE sink = ::CreateFileW(out.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ,
                                      &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = sink;
    startup.hStdError = sink;
    std::wstring commandLine = L"\"" + ProgramPath() + L"\"" + arguments;
    PROCESS_INFORMATION process{};
    Outcome outcome;
    if (::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                         temp.wstring().c_str(), &startup, &process)) {
      ::WaitForSingleObject(process.hProcess, 60000);
      ::GetExitCodeProcess(process.hProcess, &outcome.status);
      ::CloseHandle(process.hThread);
      ::CloseHandle(process.hProcess);
    }
    ::CloseHandle(sink);
    outcome.output = ReadAll(out);
    return outcome;
  }

  stdfs::path temp;
};

TEST_F(EndToEnd, ADefaultRunMakesTodaysFolderInDriveCSilently) {
  const std::string stamp = Today();
  const stdfs::path mirror = stdfs::path("C:\\tmpCalendario") / stamp / "Mirror.txt";
  const std::string before = ReadAll(mirror);
  const Outcome outcome = Start(L"");
  if (Today() != stamp) GTEST_SKIP() << "midnight passed during the run";
  EXPECT_EQ(outcome.status, 0u);
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(ReadAll(mirror), before + stamp + "\r\n");
  EXPECT_TRUE(stdfs::is_regular_file("C:\\Informes\\InformeMorvane.txt"));
}

TEST_F(EndToEnd, UnicodeArgumentsArriveWhole) {
  const std::wstring root = temp.wstring() + L"\\A\u00f1o\\\u65e5\u4ed8";
  const std::wstring report = temp.wstring() + L"\\Informes";
  const std::string stamp = Today();
  const Outcome outcome = Start(L" -RC" + root + L"\t-RI" + report + L"  -INsi");
  if (Today() != stamp) GTEST_SKIP() << "midnight passed during the run";
  EXPECT_EQ(outcome.status, 0u);
  EXPECT_EQ(outcome.output, "");
  const std::wstring wideStamp(stamp.begin(), stamp.end());
  EXPECT_EQ(ReadAll(stdfs::path(root) / wideStamp / L"Mirror.txt"), stamp + "\r\n");
  const std::string log = ReadAll(stdfs::path(report) / L"InformeMorvane.txt");
  EXPECT_NE(log.find("  ||  Se ha creado la carpeta "), std::string::npos) << log;
  EXPECT_NE(log.find("  ||  Se ha creado el archivo Mirror.txt\r\n"), std::string::npos) << log;
}

TEST_F(EndToEnd, ExitStatusSaysTheFolderStepFailed) {
  std::ofstream(temp / "file") << "in the way";
  const Outcome outcome = Start(L" -INno -RC" + (temp / "file").wstring());
  EXPECT_EQ(outcome.status, 1u);
  EXPECT_EQ(ReadAll(temp / "file"), "in the way");
}

}  // namespace
}  // namespace calendario
