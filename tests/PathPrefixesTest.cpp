#include <gtest/gtest.h>

#include "fs/FileHelpers.h"
#include "fs/Text.h"

namespace calendario {
namespace {

std::vector<std::u16string> Prefixes(std::u16string_view text, std::error_code* error = nullptr) {
  std::vector<std::u16string_view> views;
  const std::error_code ec = PathPrefixes(text, u'\\', views);
  if (error != nullptr) *error = ec;
  return {views.begin(), views.end()};
}

TEST(PathPrefixes, CutsBeforeEachSeparator) {
  struct Case {
    std::u16string text;
    std::vector<std::u16string> prefixes;
  };
  const Case cases[] = {
      {u"C:\\tmpCalendario\\20240307",
       {u"C:", u"C:\\tmpCalendario", u"C:\\tmpCalendario\\20240307"}},
      {u"C:\\Informes\\", {u"C:", u"C:\\Informes"}},
      {u"C:\\Informes", {u"C:", u"C:\\Informes"}},
      {u"tmp", {u"tmp"}},
      {u"", {u""}},
      {u"\\\\srv\\share", {u"", u"\\", u"\\\\srv", u"\\\\srv\\share"}},
      {u"C:/a/b", {u"C:/a/b"}},  // only the given separator cuts
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.text));
    std::error_code ec;
    EXPECT_EQ(Prefixes(c.text, &ec), c.prefixes);
    EXPECT_FALSE(ec);
  }
}

TEST(PathPrefixes, CapacityIsHalfTheLengthRoundedToEvenPlusOne) {
  struct Case {
    std::u16string text;
    bool fits;
  };
  const Case cases[] = {
      {u"\\\\\\\\", false},    // 4 separators, room for 3
      {u"\\\\\\", true},       // 3 long: 1.5 rounds to 2, room for 3, needs 3
      {u"\\\\\\aa", false},    // 5 long: 2.5 rounds to 2, room for 3, needs 4
      {u"\\\\\\\\aaa", true},  // 7 long: 3.5 rounds to 4, room for 5, needs 5
      {u"\\\\\\\\\\\\\\\\\\\\\\\\aaaaaaaaaaaaa", true},    // 25 long, 12 separators: needs 13
      {u"\\\\\\\\\\\\\\\\\\\\\\\\\\aaaaaaaaaaaa", false},  // 25 long, 13 separators: needs 14
      {u"\\", true},                                       // 1 long: room for 1
      {u"\\a", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Utf16ToUtf8(c.text));
    std::error_code ec;
    const auto prefixes = Prefixes(c.text, &ec);
    EXPECT_EQ(!ec, c.fits);
    if (!c.fits) {
      EXPECT_EQ(ec, std::errc::result_out_of_range);
      EXPECT_TRUE(prefixes.empty());
    }
  }
}

TEST(PathPrefixes, LengthIsASigned16BitNumber) {
  std::u16string text = u"C:";
  while (text.size() < 32767) text += u"\\a";
  text.resize(32767);
  std::error_code ec;
  EXPECT_EQ(Prefixes(text, &ec).size(), 16383u);  // ends with a separator
  EXPECT_FALSE(ec);
  text += u"b";
  EXPECT_TRUE(Prefixes(text, &ec).empty());
  EXPECT_EQ(ec, std::errc::value_too_large);
}

TEST(PathPrefixes, EachEntryIsAPrefixOfTheNext) {
  const std::u16string text = u"\\\\x\\y\\\\z\\";
  const auto prefixes = Prefixes(text);
  for (std::size_t i = 1; i < prefixes.size(); ++i) {
    EXPECT_EQ(prefixes[i].substr(0, prefixes[i - 1].size()), prefixes[i - 1]);
  }
}

}  // namespace
}  // namespace calendario
