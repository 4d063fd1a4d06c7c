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

TEST_F(Win32OnDisk, DeleteWithForceRemovesAReadOnlyFile) {
  Write(u"ro.txt", "x");
  const std::wstring native = Host(u"ro.txt").wstring();
  ASSERT_TRUE(::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(Layer().Delete(Win(u"ro.txt"), false, nullptr));
  EXPECT_TRUE(IsFile(u"ro.txt"));
  EXPECT_FALSE(Layer().Delete(Win(u"ro.txt"), true, nullptr));
  EXPECT_FALSE(Exists(u"ro.txt"));
}

TEST_F(Win32OnDisk, AReportHeldOpenByAnotherProgramIsReallyGoneAndAFailedDeleteKeepsReadOnly) {
  // An indexer or a virus scanner holding the file with FILE_SHARE_DELETE keeps a deleted
  // file's name alive: the new line must still start a new file, not go down with the old.
  MakeFolder(u"Informes");
  Write(u"Informes\\InformeMorvane.txt", std::string(10001, 'x') + "\r\n");
  // What a run ended halfway through a deletion left goes too; a folder planted where an
  // earlier version renamed to stops nothing, and stays.
  Write(u"Informes\\InformeMorvane.txt.calendario-deleted-0123456789abcdef", "left over");
  MakeFolder(u"Informes\\InformeMorvane.txt.calendario-deleted");
  const std::wstring report = Host(u"Informes\\InformeMorvane.txt").wstring();
  const HANDLE holder = ::CreateFileW(report.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  WriteReport(Layer(), Win(u"Informes"), Win(u"Informes\\InformeMorvane.txt"), u"line");
  ::CloseHandle(holder);
  EXPECT_EQ(Read(u"Informes\\InformeMorvane.txt"), "line\r\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Host(u"Informes")),
                          std::filesystem::directory_iterator()),
            2);

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

TEST_F(Win32OnDisk, NoLineIsWrittenThroughAHardLinkOrGluedToAFragment) {
  Write(u"outside.txt", "not yours\r\n");
  ASSERT_TRUE(::CreateHardLinkW(Host(u"Mirror.txt").wstring().c_str(),
                                Host(u"outside.txt").wstring().c_str(), nullptr));
  EXPECT_EQ(AppendLine(Layer(), Win(u"Mirror.txt"), u"20240307"), kLineNotWritten);
  EXPECT_EQ(Read(u"outside.txt"), "not yours\r\n");
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
