#include <gtest/gtest.h>

#include "fs/Text.h"
#include "fs/WindowsPath.h"

namespace calendario {
namespace {

std::string Join(const std::vector<std::u16string>& levels) {
  std::string text;
  for (const auto& level : levels) {
    text += '/';
    text += Utf16ToUtf8(level);
  }
  return text;
}

TEST(WindowsPath, ResolvesRootsAndLevelsAsWindowsDoes) {
  struct Case {
    std::u16string path;
    PathRoot root;
    char16_t drive;
    std::string levels;
    bool endsWithSeparator;
  };
  const Case cases[] = {
      {u"C:\\tmpCalendario\\20240307", PathRoot::kDrive, u'c', "/tmpCalendario/20240307", false},
      {u"d:/a/b/", PathRoot::kDrive, u'd', "/a/b", true},
      {u"C:", PathRoot::kDrive, u'c', "", false},
      {u"C:x", PathRoot::kDrive, u'c', "/x", false},
      {u"\\Informes", PathRoot::kDrive, u'c', "/Informes", false},
      {u"tmp\\20240307", PathRoot::kRelative, 0, "/tmp/20240307", false},
      {u"", PathRoot::kRelative, 0, "", false},
      {u"\\\\srv\\share", PathRoot::kServer, 0, "", false},
      {u"//srv", PathRoot::kServer, 0, "", false},
      {u"\\\\?\\C:\\x", PathRoot::kServer, 0, "", false},
      {u"C:\\a\\..\\..\\..\\b", PathRoot::kDrive, u'c', "/b", false},
      {u"C:\\a\\.\\\\b\\.", PathRoot::kDrive, u'c', "/a/b", false},
      {u"..\\..\\a\\..\\b", PathRoot::kRelative, 0, "/../../b", false},
      // The last level loses every trailing dot and space, one with more after it a dot at most.
      {u"C:\\dot.\\sp \\x. .", PathRoot::kDrive, u'c', "/dot/sp /x", false},
      {u"C:\\r..\\x", PathRoot::kDrive, u'c', "/r./x", false},
      {u"C:\\r..\\", PathRoot::kDrive, u'c', "/r.", true},
      {u"C:\\a\\...", PathRoot::kDrive, u'c', "/a", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.path));
    const WindowsPath parsed = ParseWindowsPath(c.path);
    EXPECT_EQ(parsed.root, c.root);
    if (c.root == PathRoot::kDrive) {
      EXPECT_EQ(parsed.drive, c.drive);
    }
    EXPECT_EQ(Join(parsed.levels), c.levels);
    if (c.root != PathRoot::kServer) {
      EXPECT_EQ(parsed.endsWithSeparator, c.endsWithSeparator);
    }
    EXPECT_TRUE(parsed.validNames);
  }
}

TEST(WindowsPath, RefusesTheNamesWindowsRefuses) {
  for (const std::u16string name :
       {u"a<b", u"a>b", u"a:b", u"a\"b", u"a|b", u"a?b", u"a*b", u"tab\there", u"CON", u"nul",
        u"NUL.txt", u"com1", u"LPT9.log", u"Aux", u"COM\u00b9", u"lpt\u00b3.txt", u"Com\u00b2"}) {
    SCOPED_TRACE(Utf16ToUtf8(name));
    EXPECT_FALSE(IsValidName(name));
    EXPECT_FALSE(ParseWindowsPath(u"C:\\ok\\" + name + u"\\x").validNames);
  }
  for (const std::u16string name : {u"CONSOLE", u"COM0", u"COM10", u"nulo", u"A\u00f1o", u"a b"}) {
    SCOPED_TRACE(Utf16ToUtf8(name));
    EXPECT_TRUE(IsValidName(name));
  }
  // "..." with more after it loses a dot, and ".." must never climb as a name.
  EXPECT_FALSE(ParseWindowsPath(u"C:\\ok\\...\\x").validNames);
  EXPECT_FALSE(IsPlainName(u"name."));
  EXPECT_FALSE(IsPlainName(u".."));
  EXPECT_TRUE(IsPlainName(u".hidden"));
}

}  // namespace
}  // namespace calendario
