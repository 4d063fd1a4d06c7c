// The real calendario.exe, started as a process by CreateProcessW.
#include <windows.h>
// After windows.h, which it needs.
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/RealDisk.h"
#include "tests/TestFiles.h"

namespace calendario {
namespace {

using testing::ReadAll;
using testing::SplitLines;
using testing::TodayStamp;

namespace stdfs = std::filesystem;

// The program's path as Windows names it: under Wine a host path is drive Z:.
std::wstring ProgramPath(std::string host = CALENDARIO_BINARY) {
  if (!host.empty() && host[0] == '/') host = "Z:" + host;
  for (char& c : host) {
    if (c == '/') c = '\\';
  }
  return std::wstring(host.begin(), host.end());
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
  const std::string stamp = TodayStamp();
  const stdfs::path mirror = stdfs::path("C:\\tmpCalendario") / stamp / "Mirror.txt";
  const std::string before = ReadAll(mirror);
  const Outcome outcome = Start(L"");
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the run";
  EXPECT_EQ(outcome.status, 0u);
  EXPECT_EQ(outcome.output, "");
  EXPECT_EQ(ReadAll(mirror), before + stamp + "\r\n");
  EXPECT_TRUE(stdfs::is_regular_file("C:\\Informes\\InformeMorvane.txt"));
}

TEST_F(EndToEnd, UnicodeArgumentsArriveWhole) {
  const std::wstring root = temp.wstring() + L"\\A\u00f1o\\\u65e5\u4ed8";
  const std::wstring report = temp.wstring() + L"\\Informes";
  const std::string stamp = TodayStamp();
  const Outcome outcome = Start(L" -RC" + root + L"\t-RI" + report + L"  -INsi");
  if (TodayStamp() != stamp) GTEST_SKIP() << "midnight passed during the run";
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
  // Server and device paths, and a console's name, are never made: as on Linux.
  const std::wstring console = temp.wstring() + L"\\CONIN$";
  for (const std::wstring& root : {std::wstring(L"\\\\srv\\share"), std::wstring(L"\\"),
                                   std::wstring(L"\\\\\\x"), std::wstring(L"\\\\.\\x"), console}) {
    SCOPED_TRACE(std::string(root.begin(), root.end()));
    EXPECT_EQ(Start(L" -INno -RC" + root).status, 1u);
  }
  EXPECT_FALSE(stdfs::exists(temp / "CONIN$"));
}

// A running process whose parent is `parent` and that runs `program`, or 0. (An ended
// process may still be listed, and may name a parent whose id has been given out again.)
DWORD ChildOf(DWORD parent, const std::wstring& program) {
  const HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return 0;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  DWORD child = 0;
  for (BOOL more = ::Process32FirstW(snapshot, &entry); more && child == 0;
       more = ::Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID != parent || !program.ends_with(entry.szExeFile)) continue;
    const HANDLE process =
        ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
    if (process == nullptr) continue;
    DWORD code = 0;
    if (::GetExitCodeProcess(process, &code) && code == STILL_ACTIVE) child = entry.th32ProcessID;
    ::CloseHandle(process);
  }
  ::CloseHandle(snapshot);
  return child;
}

TEST_F(EndToEnd, TheCallersEnvironmentTakesNoBoundAwayAndOnlyTheWorkersWordCounts) {
  // Whatever a caller hands the program (the variable an earlier version took a worker's; a
  // file, or a file mapping of another size, as its standard input), it still starts a worker
  // and watches it, and the worker's runs end as they would have once the turn it waits for is
  // given back. The first one, waiting for that turn, is ended from outside with exit code 0
  // instead: the status is neither 0 nor 5.
  const stdfs::path report = temp / "Informes" / "InformeMorvane.txt";
  stdfs::create_directories(report.parent_path());
  std::ofstream(report) << "";
  const HANDLE holder = ::CreateFileW(report.wstring().c_str(), GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  const HANDLE twoPages =
      ::CreateFileMappingW(INVALID_HANDLE_VALUE, &inherit, PAGE_READWRITE, 0, 8192, nullptr);
  const HANDLE file =
      ::CreateFileW(report.wstring().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherit, OPEN_EXISTING, 0, nullptr);
  const std::string stamp = TodayStamp();
  bool first = true;
  ::SetEnvironmentVariableW(L"CALENDARIO_WORKER", L"0123456789abcdef0123456789abcdef");
  for (const HANDLE given : {HANDLE(nullptr), file, twoPages}) {
    SCOPED_TRACE(given == twoPages ? "a mapping" : given == file ? "a file" : "nothing");
    OVERLAPPED whole{};
    ASSERT_TRUE(::LockFileEx(holder, LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &whole));
    std::wstring commandLine = L"\"" + ProgramPath() + L"\" -RI" + report.parent_path().wstring() +
                               L" -RC" + (temp / "Raiz").wstring();
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = given;
    PROCESS_INFORMATION watcher{};
    ASSERT_TRUE(::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                 temp.wstring().c_str(), &startup, &watcher));
    DWORD worker = 0;
    for (int i = 0; i < 400 && worker == 0; ++i) {
      worker = ChildOf(watcher.dwProcessId, ProgramPath());
      if (worker == 0) ::Sleep(5);
    }
    EXPECT_NE(worker, 0u) << "no worker was started";
    const HANDLE process =
        first ? ::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, worker) : nullptr;
    if (process != nullptr) {
      // Once it waits for the turn, which it does right after making the day's folder: Wine
      // does not always end a process still starting up. The turn stays held until the watcher
      // has ended, since Wine ends a process's code a moment after it has said the process
      // ended.
      for (int i = 0; i < 6000 && !stdfs::is_directory(temp / "Raiz" / stamp); ++i) ::Sleep(5);
      ::TerminateProcess(process, 0);
      ::CloseHandle(process);
      ::WaitForSingleObject(watcher.hProcess, 60000);
    }
    OVERLAPPED again{};
    ::UnlockFileEx(holder, 0, MAXDWORD, MAXDWORD, &again);
    ::WaitForSingleObject(watcher.hProcess, 60000);
    DWORD status = 0xFFFFFFFF;
    ::GetExitCodeProcess(watcher.hProcess, &status);
    ::CloseHandle(watcher.hThread);
    ::CloseHandle(watcher.hProcess);
    EXPECT_EQ(status, first ? 7u : 0u);
    first = false;
  }
  ::SetEnvironmentVariableW(L"CALENDARIO_WORKER", nullptr);
  for (const HANDLE handle : {holder, file, twoPages}) ::CloseHandle(handle);
}

// The manifest and the version resource, read back from the built program.
TEST(WindowsExecutable, CarriesItsManifestAndVersion) {
  const HMODULE exe = ::LoadLibraryExW(ProgramPath().c_str(), nullptr,
                                       LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  ASSERT_NE(exe, nullptr);
  const HRSRC found = ::FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
  ASSERT_NE(found, nullptr);
  const auto* bytes = static_cast<const char*>(::LockResource(::LoadResource(exe, found)));
  const std::string manifest(bytes, ::SizeofResource(exe, found));
  ::FreeLibrary(exe);
  EXPECT_NE(manifest.find("level=\"asInvoker\""), std::string::npos);
  EXPECT_NE(manifest.find(">true</longPathAware>"), std::string::npos);
  EXPECT_EQ(manifest.find("<activeCodePage"), std::string::npos);

  DWORD ignored = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(ProgramPath().c_str(), &ignored);
  ASSERT_GT(size, 0u);
  std::vector<char> info(size);
  ASSERT_TRUE(::GetFileVersionInfoW(ProgramPath().c_str(), 0, size, info.data()));
  auto value = [&](const wchar_t* name) {
    void* text = nullptr;
    UINT length = 0;
    const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    if (!::VerQueryValueW(info.data(), key.c_str(), &text, &length) || length == 0) {
      return std::wstring();
    }
    return std::wstring(static_cast<const wchar_t*>(text));
  };
  EXPECT_EQ(value(L"ProductName"), L"calendario");
  EXPECT_EQ(value(L"ProductVersion"), L"1.0.0");
  EXPECT_EQ(value(L"FileDescription"), L"Prepares one folder per calendar day");
}

}  // namespace
}  // namespace calendario
