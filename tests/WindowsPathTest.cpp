#include <gtest/gtest.h>

#include "fs/Text.h"
#include "fs/WindowsPath.h"
#include "fs/WindowsTables.h"

namespace calendario {
namespace {

std::string Join(const PathLevels& levels) {
  std::string text;
  for (std::size_t i = 0; i < levels.size(); ++i) {
    text += '/';
    text += Utf16ToUtf8(levels.Name(i));
  }
  return text;
}

// The current folder D:\w\v, as a process started in drives/d/w/v would have it.
CurrentFolder InDW() {
  CurrentFolder current{u'd', true, {}};
  current.levels.Push(u"w");
  current.levels.Push(u"v");
  return current;
}

TEST(WindowsPath, ResolvesRootsAndLevelsAsWindowsDoes) {
  struct Case {
    std::u16string path;
    PathRoot root;
    char16_t drive;
    std::string levels;
    bool endsWithSeparator;
    bool inDW = false;  // from the current folder D:\w\v rather than outside every drive
  };
  const Case cases[] = {
      {u"C:\\tmpCalendario\\20240307", PathRoot::kDrive, u'c', "/tmpCalendario/20240307", false},
      {u"d:/a/b/", PathRoot::kDrive, u'd', "/a/b", true},
      {u"C:", PathRoot::kDrive, u'c', "", false},
      {u"C:x", PathRoot::kDrive, u'c', "/x", false},
      {u"\\Informes", PathRoot::kDrive, u'c', "/Informes", false},
      {u"tmp\\20240307", PathRoot::kHost, 0, "/tmp/20240307", false},
      {u"", PathRoot::kHost, 0, "", false},
      {u"\\\\srv\\share", PathRoot::kServer, 0, "/srv/share", false},
      {u"//srv", PathRoot::kServer, 0, "/srv", false},
      {u"\\\\", PathRoot::kServer, 0, "", true},
      {u"\\\\\\x", PathRoot::kServer, 0, "/x", false},
      {u"\\\\?\\C:\\x", PathRoot::kDevice, 0, "", false},
      {u"\\\\.\\C:\\x", PathRoot::kDevice, 0, "", false},
      {u"//./x", PathRoot::kDevice, 0, "", false},
      {u"\\\\.", PathRoot::kDevice, 0, "", false},
      {u"C:\\a\\..\\..\\..\\b", PathRoot::kDrive, u'c', "/b", false},
      {u"C:\\a\\.\\\\b\\.", PathRoot::kDrive, u'c', "/a/b", false},
      {u"..\\..\\a\\..\\b", PathRoot::kHost, 0, "/../../b", false},
      // The last level loses every trailing dot and space, one with more after it a dot at most.
      {u"C:\\dot.\\sp \\x. .", PathRoot::kDrive, u'c', "/dot/sp /x", false},
      {u"C:\\r..\\x", PathRoot::kDrive, u'c', "/r./x", false},
      {u"C:\\r..\\", PathRoot::kDrive, u'c', "/r.", true},
      {u"C:\\a\\...", PathRoot::kDrive, u'c', "/a", false},
      // A device name is a device only as the last text; "CON\." names a folder CON.
      {u"C:\\t\\CON\\.", PathRoot::kDrive, u'c', "/t/CON", false},
      {u"C:\\CONIN$\\x", PathRoot::kDrive, u'c', "/CONIN$/x", false},
      // From a current folder on a drive: "X:rest" on the current drive and a relative path go
      // on from it, ".." stops at the drive's top, a leading "\" is the current drive's top.
      {u"D:x", PathRoot::kDrive, u'd', "/w/v/x", false, true},
      {u"d:..\\y", PathRoot::kDrive, u'd', "/w/y", false, true},
      {u"D:", PathRoot::kDrive, u'd', "/w/v", false, true},
      {u"C:x", PathRoot::kDrive, u'c', "/x", false, true},
      {u"D:\\x", PathRoot::kDrive, u'd', "/x", false, true},
      {u"\\x", PathRoot::kDrive, u'd', "/x", false, true},
      {u"x\\..\\..\\..\\..\\y", PathRoot::kDrive, u'd', "/y", false, true},
      {u"\\\\srv\\x", PathRoot::kServer, 0, "/srv/x", false, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.path) + (c.inDW ? " from D:\\w\\v" : ""));
    const ResolvedPath resolved = ResolveWindowsPath(c.path, c.inDW ? InDW() : CurrentFolder{});
    EXPECT_EQ(resolved.root, c.root);
    if (c.root == PathRoot::kDrive) {
      EXPECT_EQ(resolved.drive, c.drive);
    }
    EXPECT_EQ(Join(resolved.levels), c.levels);
    EXPECT_EQ(resolved.endsWithSeparator, c.endsWithSeparator);
    EXPECT_FALSE(resolved.refused);
    if (!DependsOnCurrentFolder(c.path)) {
      // Then the backends need not find the current folder at all.
      const ResolvedPath elsewhere = ResolveWindowsPath(c.path, c.inDW ? CurrentFolder{} : InDW());
      EXPECT_EQ(Join(elsewhere.levels), c.levels);
      EXPECT_EQ(elsewhere.drive, resolved.drive);
    }
  }
}

TEST(WindowsPath, RefusesTheNamesWindowsRefuses) {
  for (const std::u16string name :
       {u"a<b",      u"a>b",       u"a:b",       u"a\"b",          u"a|b",       u"a?b",
        u"a*b",      u"tab\there", u"CON",       u"nul",           u"NUL.txt",   u"com1",
        u"LPT9.log", u"Aux",       u"COM\u00b9", u"lpt\u00b3.txt", u"Com\u00b2", u"CON .txt",
        u"nul. .",   u"CONIN$",    u"conout$",   u"CONIN$.txt",    u"CONIN$ "}) {
    SCOPED_TRACE(Utf16ToUtf8(name));
    EXPECT_TRUE(ResolveWindowsPath(u"C:\\ok\\" + name, {}).refused);
  }
  for (const std::u16string name : {u"CONSOLE", u"COM0", u"COM10", u"nulo", u"A\u00f1o", u"a b",
                                    u" CON", u"CONIN$$", u"CONINS"}) {
    SCOPED_TRACE(Utf16ToUtf8(name));
    EXPECT_FALSE(ResolveWindowsPath(u"C:\\ok\\" + name, {}).refused);
  }
  // A reserved character anywhere; a device name in the middle is an ordinary folder; "..."
  // with more after it would be "..", which must never climb.
  EXPECT_TRUE(ResolveWindowsPath(u"C:\\a?b\\x", {}).refused);
  EXPECT_TRUE(ResolveWindowsPath(u"\\\\srv\\share\\nul.txt", {}).refused);
  EXPECT_FALSE(ResolveWindowsPath(u"C:\\CON\\x", {}).refused);
  EXPECT_TRUE(ResolveWindowsPath(u"C:\\ok\\...\\x", {}).refused);
  EXPECT_TRUE(ResolveWindowsPath(u"C:\\ok\\CON", {}, /*moreFollows=*/false).refused);
  EXPECT_FALSE(ResolveWindowsPath(u"C:\\ok\\CON", {}, /*moreFollows=*/true).refused);
}

TEST(WindowsPath, KeysAreWindowsUpperCaseAndOnlyLettersHaveOtherSpellings) {
  const ResolvedPath resolved = ResolveWindowsPath(u"C:\\a\u00f1o\\Mirror.txt", {});
  ASSERT_EQ(resolved.levels.size(), 2u);
  EXPECT_EQ(resolved.levels.Key(0), u"A\u00d1O");
  EXPECT_EQ(resolved.levels.Key(1), u"MIRROR.TXT");
  EXPECT_EQ(resolved.levels.Name(1), u"Mirror.txt");
  EXPECT_EQ(resolved.levels.Keys(), u"\\A\u00d1O\\MIRROR.TXT");
  EXPECT_EQ(resolved.levels.Keys(1), u"\\A\u00d1O");
  EXPECT_FALSE(HasOtherSpellings(u"20261208"));
  EXPECT_FALSE(HasOtherSpellings(u"2026-12_08.~"));
  EXPECT_TRUE(HasOtherSpellings(u"Mirror.txt"));
  EXPECT_TRUE(HasOtherSpellings(u"2026\u00f1"));
  // What HasOtherSpellings relies on: nothing but a to z upper-cases into ASCII.
  for (unsigned unit = 0; unit < 0x10000; ++unit) {
    const char16_t upper = WindowsUpperCase(static_cast<char16_t>(unit));
    if (upper < 0x80 && upper != unit) {
      EXPECT_TRUE(unit >= u'a' && unit <= u'z') << std::hex << unit;
    }
  }
}

}  // namespace
}  // namespace calendario
