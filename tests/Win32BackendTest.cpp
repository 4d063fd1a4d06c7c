// The Win32 backend on the Windows API (under Wine in CI).
#include <windows.h>

#include <gtest/gtest.h>

#include "fs/FileHelpers.h"
#include "fs/FileSystemWin32.h"
#include "fs/Win32Files.h"
#include "run/ReportLog.h"
#include "tests/RealDisk.h"

namespace calendario {
namespace {

std::wstring Native(std::u16string_view path) {
  std::wstring native;
  EXPECT_FALSE(NativePath(path, native));
  return native;
}

TEST(Win32Paths, AreMadeAbsoluteAndLong) {
  EXPECT_EQ(Native(u"C:\\a\\..\\b\\.\\c"), L"\\\\?\\C:\\b\\c");
  EXPECT_EQ(Native(u"C:/a/b"), L"\\\\?\\C:\\a\\b");
  EXPECT_EQ(Native(u"\\\\srv\\share\\x"), L"\\\\?\\UNC\\srv\\share\\x");
  EXPECT_EQ(Native(u"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
  wchar_t cwd[MAX_PATH];
  ::GetCurrentDirectoryW(MAX_PATH, cwd);
  std::wstring expected = L"\\\\?\\" + std::wstring(cwd);
  if (expected.back() != L'\\') expected += L'\\';
  EXPECT_EQ(Native(u"rel"), expected + L"rel");
}

using Win32OnDisk = testing::RealDisk;

// Runs a host program (Z:\bin\ln, say) in `folder`: under Wine only, whose links and owners are
// the host's. False where there is none.
bool OnHost(std::wstring commandLine, const std::filesystem::path& folder) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION host{};
  if (!::CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.wstring().c_str(), &startup, &host)) {
    return false;
  }
  ::WaitForSingleObject(host.hProcess, 10000);
  ::CloseHandle(host.hThread);
  ::CloseHandle(host.hProcess);
  return true;
}

TEST_F(Win32OnDisk, DeleteWithForceRemovesAReadOnlyFile) {
  Write(u"ro.txt", "x");
  const std::wstring native = Host(u"ro.txt").wstring();
  ASSERT_TRUE(::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(Layer().Delete(Win(u"ro.txt"), false, nullptr));
  EXPECT_TRUE(IsFile(u"ro.txt"));
  EXPECT_FALSE(Layer().Delete(Win(u"ro.txt"), true, nullptr));
  EXPECT_FALSE(Exists(u"ro.txt"));
  // A report no one may write (read-only, and, since root under Wine writes that all the same,
  // held by a reader who shares no writes) still has its turn, and goes past the bound.
  Write(u"Informe.txt", std::string(10001, 'x') + "\r\n");
  const std::wstring report = Host(u"Informe.txt").wstring();
  ASSERT_TRUE(::SetFileAttributesW(report.c_str(), FILE_ATTRIBUTE_READONLY));
  const HANDLE reader =
      ::CreateFileW(report.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                    OPEN_EXISTING, 0, nullptr);
  WriteReport(Layer(), Win(), Win(u"Informe.txt"), u"line");
  ::CloseHandle(reader);
  EXPECT_EQ(Read(u"Informe.txt"), "line\r\n");
}

TEST_F(Win32OnDisk, AReportHeldOpenByAnotherProgramIsReallyGoneAndAFailedDeleteKeepsReadOnly) {
  // An indexer or a virus scanner holding the file with FILE_SHARE_DELETE keeps a deleted
  // file's name alive: the new line must still start a new file, not go down with the old.
  MakeFolder(u"Informes");
  Write(u"Informes\\InformeMorvane.txt", std::string(10001, 'x') + "\r\n");
  // What a run ended halfway through a deletion left goes too; a folder, a user's own file, and
  // links to files elsewhere (a hard link's target read-only) named alike stop nothing and stay.
  const std::u16string left = u"Informes\\InformeMorvane.txt.calendario-deleted";
  Write(left + u"-0123456789abcdef0123456789abcdef", "left over");
  MakeFolder(left);
  Write(left + u" my notes.txt", "mine");
  Write(u"target.txt", "target");
  Write(u"kept.txt", "kept");
  ASSERT_TRUE(::SetFileAttributesW(Host(u"kept.txt").wstring().c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(::CreateHardLinkW(Host(left + u"-11111111111111111111111111111111").wstring().c_str(),
                                Host(u"kept.txt").wstring().c_str(), nullptr));
  const bool wine = OnHost(
      L"Z:\\bin\\ln -s ../target.txt InformeMorvane.txt.calendario-deleted-"
      L"22222222222222222222222222222222",
      Host(u"Informes"));
  const std::wstring report = Host(u"Informes\\InformeMorvane.txt").wstring();
  const HANDLE holder = ::CreateFileW(report.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  WriteReport(Layer(), Win(u"Informes"), Win(u"Informes\\InformeMorvane.txt"), u"line");
  ::CloseHandle(holder);
  EXPECT_EQ(Read(u"Informes\\InformeMorvane.txt"), "line\r\n");
  EXPECT_FALSE(Exists(left + u"-0123456789abcdef0123456789abcdef"));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Host(u"Informes")),
                          std::filesystem::directory_iterator()),
            wine ? 5 : 4);
  EXPECT_EQ(Read(u"target.txt") + Read(u"kept.txt"), "targetkept");
  EXPECT_TRUE(::GetFileAttributesW(Host(u"kept.txt").wstring().c_str()) & FILE_ATTRIBUTE_READONLY);
  ::SetFileAttributesW(Host(u"kept.txt").wstring().c_str(), FILE_ATTRIBUTE_NORMAL);

  // Held without FILE_SHARE_DELETE, a read-only file cannot go, and stays read-only.
  Write(u"ro.txt", "x");
  const std::wstring native = Host(u"ro.txt").wstring();
  ASSERT_TRUE(::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_READONLY));
  const HANDLE keeper = ::CreateFileW(native.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(keeper, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(Layer().Delete(Win(u"ro.txt"), true, nullptr));
  ::CloseHandle(keeper);
  EXPECT_TRUE(::GetFileAttributesW(native.c_str()) & FILE_ATTRIBUTE_READONLY);
  ::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(Win32OnDisk, NoLineIsWrittenThroughAnotherUsersHardLinkOrGluedToAFragment) {
  // A second name of the user's own file (a snapshot's) is written through.
  Write(u"own.txt", "yours\r\n");
  ASSERT_TRUE(::CreateHardLinkW(Host(u"Mirror.txt").wstring().c_str(),
                                Host(u"own.txt").wstring().c_str(), nullptr));
  EXPECT_EQ(AppendLine(Layer(), Win(u"Mirror.txt"), u"20240307"), kLineWritten);
  EXPECT_EQ(Read(u"own.txt"), "yours\r\n20240307\r\n");
  // One to another user's is not: under Wine a file of another host user is owned by another.
  Write(u"outside.txt", "not yours\r\n");
  if (OnHost(L"Z:\\bin\\chown 1 outside.txt", Host())) {
    ASSERT_TRUE(::CreateHardLinkW(Host(u"Planted.txt").wstring().c_str(),
                                  Host(u"outside.txt").wstring().c_str(), nullptr));
    EXPECT_EQ(AppendLine(Layer(), Win(u"Planted.txt"), u"20240307"), kLineNotWritten);
    EXPECT_EQ(Read(u"outside.txt"), "not yours\r\n");
  }
  Write(u"cut.txt", "202403");
  EXPECT_EQ(AppendLine(Layer(), Win(u"cut.txt"), u"20240307"), kLineWritten);
  EXPECT_EQ(Read(u"cut.txt"), "202403\r\n20240307\r\n");
}

TEST_F(Win32OnDisk, TextIsTheAnsiCodePageWithCrLf) {
  if (::GetACP() != 1252) GTEST_SKIP() << "the ANSI code page here is " << ::GetACP();
  EXPECT_EQ(AppendLine(Layer(), Win(u"t.txt"), u"exist\u00eda \u20ac \u3042"), kLineWritten);
  EXPECT_EQ(Read(u"t.txt"),
            "exist\xed"
            "a \x80 ?\r\n");
}

TEST_F(Win32OnDisk, AppendsGoThroughAnAppendOnlyHandle) {
  Write(u"m.txt", "a\r\n");
  StreamId stream{};
  ASSERT_FALSE(Layer().OpenAsTextStream(Win(u"m.txt"), kForAppending, kTristateFalse, stream));
  Write(u"m.txt", "another writer\r\n");  // the file changes under the open handle
  EXPECT_FALSE(Layer().WriteLine(stream, u"b"));
  EXPECT_FALSE(Layer().Close(stream));
  EXPECT_EQ(Read(u"m.txt"), "another writer\r\nb\r\n");
}

}  // namespace
}  // namespace calendario
