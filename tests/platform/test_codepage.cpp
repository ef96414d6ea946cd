// Code-page conversions and cuts at character boundaries.
#include <gtest/gtest.h>

#include "platform/codepage.h"
#include "platform/text.h"

using namespace velarin::platform;

TEST(Codepage, SystemTextRoundTripsEvenWhenNotValidUtf8) {
  if (!SysIsUtf8()) GTEST_SKIP() << "the system code page is not UTF-8 here";
  EXPECT_EQ(SysToWide("abc"), u"abc");
  EXPECT_EQ(SysToWide("\xD0\x96\xF0\x9F\x98\x80"), u"\u0416\U0001F600");
  EXPECT_EQ(WideToSys(u"\u0416\U0001F600"), "\xD0\x96\xF0\x9F\x98\x80");
  // A Latin-1 byte in a file name survives the trip through 16 bits.
  std::string raw = "caf\xE9.fb2";
  EXPECT_EQ(WideToSys(SysToWide(raw)), raw);
  EXPECT_EQ(WideToSys(SysToWide(std::string("\xC3", 1))), "\xC3");
}

TEST(Codepage, SystemTextTellsWhenABytePassesAsNoCharacter) {
  bool exact = false;
  EXPECT_EQ(SysToWide("plain", &exact), u"plain");
  EXPECT_TRUE(exact);
  if (!SysIsUtf8()) GTEST_SKIP() << "the system code page is not UTF-8 here";
  SysToWide("\xD0\x96\xF0\x9F\x98\x80", &exact);
  EXPECT_TRUE(exact);
  for (const char* bad : {"caf\xC3", "\xFF", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80"}) {
    SysToWide(bad, &exact);
    EXPECT_FALSE(exact) << bad;
  }
}

struct HoldsCase {
  const char* encoding;
  std::u16string text;
  bool holds;
};
class EncodingHoldsText : public ::testing::TestWithParam<HoldsCase> {};
TEST_P(EncodingHoldsText, ByTheSystemsConversions) {
  EXPECT_EQ(EncodingHolds(GetParam().encoding, GetParam().text), GetParam().holds);
}
INSTANTIATE_TEST_SUITE_P(
    Table, EncodingHoldsText,
    ::testing::Values(HoldsCase{"windows-1251", u"\u0417\u0438\u043C\u0430 \u2116", true},
                      HoldsCase{"windows-1251", u"caf\u00E9", false}, HoldsCase{"WINDOWS-1251", u"abc", true},
                      HoldsCase{"iso-8859-1", u"caf\u00E9", true}, HoldsCase{"ISO-8859-1", u"\u0416", false},
                      HoldsCase{"KOI8-R", u"\u0416", true}, HoldsCase{"koi8-r", u"\U0001F600", false},
                      HoldsCase{"UTF-8", u"\u00E9\u0416\U0001F600", true}, HoldsCase{"", u"\U0001F600", true},
                      HoldsCase{"UTF-8", std::u16string{u'a', char16_t(0xD800)}, false}, HoldsCase{"utf-16", u"\u0416", true},
                      HoldsCase{"us-ascii", u"\u00E9", false}, HoldsCase{"no-such-encoding", u"abc", false},
                      HoldsCase{"windows-1251", u"", true}));

TEST(Codepage, OemIsIbm437AndTellsWhenInexact) {
  EXPECT_EQ(OemToWide("\x80\x9A"), u"\u00C7\u00DC");
  bool exact = false;
  EXPECT_EQ(WideToOem(u"\u00C7x", &exact), "\x80x");
  EXPECT_TRUE(exact);
  WideToOem(u"\u0416", &exact);
  EXPECT_FALSE(exact);
  WideToOem(u"\U0001F600", &exact);
  EXPECT_FALSE(exact);
}

struct CutCase {
  const char* text;
  size_t max;
  size_t expected;
};
class SysCut : public ::testing::TestWithParam<CutCase> {};
TEST_P(SysCut, EndsOnACharacterBoundary) {
  if (!SysIsUtf8()) GTEST_SKIP() << "the system code page is not UTF-8 here";
  const CutCase& c = GetParam();
  EXPECT_EQ(SysCutLength(c.text, c.max), c.expected);
}
INSTANTIATE_TEST_SUITE_P(Cases, SysCut,
                         ::testing::Values(CutCase{"abc", 5, 3}, CutCase{"abc", 2, 2},
                                           CutCase{"a\xD0\x96", 2, 1}, CutCase{"a\xD0\x96", 3, 3},
                                           CutCase{"\xF0\x9F\x98\x80z", 3, 0},
                                           CutCase{"\xF0\x9F\x98\x80z", 4, 4},
                                           CutCase{"x\x80\x80\x80\x80\x80", 3, 3}));

TEST(Text, CaseMappingPerUnit) {
  EXPECT_EQ(UpperW(u"book.fb2"), u"BOOK.FB2");
  EXPECT_EQ(LowerW(u"BOOK.FB2"), u"book.fb2");
  EXPECT_EQ(CompareTextW(u"Book.FB2", u"book.fb2"), 0);
  EXPECT_LT(CompareTextW(u"a", u"B"), 0);
  // whatever locale the host set, Cyrillic folds too
  EXPECT_EQ(UpperW(u"\u043a\u043d\u0438\u0433\u0430.fb2"), u"\u041a\u041d\u0418\u0413\u0410.FB2");
  EXPECT_EQ(CompareTextW(u"\u041a\u043d\u0438\u0433\u0430", u"\u043a\u041d\u0418\u0433\u0430"), 0);
}
