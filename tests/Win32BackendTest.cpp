// The Win32 backend on the Windows API (under Wine in CI).
#include <windows.h>

#include <gtest/gtest.h>

#include "fs/FileHelpers.h"
#include "fs/FileSystemWin32.h"
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

TEST_F(Win32OnDisk, RefusedNamesNeverReachTheApi) {
  for (const std::u16string name : {u"CON", u"nul.txt", u"a<b", u"q?", u"a:b"}) {
    EXPECT_TRUE(Layer().CreateFolder(Win(name)));
    StreamId stream{};
    EXPECT_TRUE(Layer().CreateTextFile(Win(name), false, false, stream));
  }
  EXPECT_TRUE(std::filesystem::is_empty(Host()));
}

TEST_F(Win32OnDisk, DeleteWithForceRemovesAReadOnlyFile) {
  Write(u"ro.txt", "x");
  const std::wstring native = Host(u"ro.txt").wstring();
  ASSERT_TRUE(::SetFileAttributesW(native.c_str(), FILE_ATTRIBUTE_READONLY));
  EXPECT_TRUE(Layer().Delete(Win(u"ro.txt"), false));
  EXPECT_TRUE(IsFile(u"ro.txt"));
  EXPECT_FALSE(Layer().Delete(Win(u"ro.txt"), true));
  EXPECT_FALSE(Exists(u"ro.txt"));
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
