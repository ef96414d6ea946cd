// Mask matching: the wildcard match, the "*.*" and trailing-dot forms, and the bound on its work.
#include <gtest/gtest.h>

#include "archive/ZAMask.h"

using namespace velarin::archive;

namespace {

struct MaskCase {
  const char16_t* name;
  const char16_t* mask;
  bool matches;
};

class MaskTest : public testing::TestWithParam<MaskCase> {};

TEST_P(MaskTest, Table) {
  const MaskCase& c = GetParam();
  EXPECT_EQ(ZAMaskMatches(c.name, c.mask), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, MaskTest,
    testing::Values(MaskCase{u"Book.FB2", u"*.fb2", true}, MaskCase{u"books/novel.fb2", u"*.fb2", true},
                    MaskCase{u"book.fb2.bak", u"*.fb2", false}, MaskCase{u"readme", u"*.*", true},
                    MaskCase{u"readme", u"*.", true}, MaskCase{u"readme.", u"*.", true},
                    MaskCase{u"readme.txt", u"*.", false}, MaskCase{u"a", u"a**", false},
                    MaskCase{u"a", u"a*", true}, MaskCase{u"abc", u"ab", false}, MaskCase{u"ab", u"abc", false},
                    MaskCase{u"abc", u"a?c", true}, MaskCase{u"ac", u"a?c", false},
                    MaskCase{u"x", u"", false}, MaskCase{u"abcabd", u"*ab?", true},
                    MaskCase{u"abcab", u"*ab*d", false}, MaskCase{u"\u0416\u0443\u043a.fb2", u"\u0416\u0443*", true},
                    MaskCase{u"a.b.c", u"*.c", true}, MaskCase{u"abc", u"**c", true},
                    MaskCase{u"c", u"**c", true}, MaskCase{u"", u"*", true}, MaskCase{u"x.fb2", u"*.FB2", true}));

// The matcher fills at most one table cell per pair of name and pattern characters, so
// its steps stay within their product. Backtracking over where each of 120 stars ends
// would try more ways than there are atoms in the universe.
TEST(Wildcard, ManyStarsAgainstALongNameStayWithinNameTimesPattern) {
  std::u16string stars;
  for (int i = 0; i < 120; ++i) stars += u"*a";
  struct Case {
    std::u16string name, pattern;
    bool wholeTable;  // no shortcut applies: every cell is filled
  };
  const Case cases[] = {
      {std::u16string(65535, u'a'), stars + u"b", false},
      {std::u16string(4000, u'a'), std::u16string(259, u'*') + u"b", false},
      {std::u16string(10000, u'a') + u"b" + std::u16string(10000, u'a'), u"a" + stars + u"ba*ca*", true},
  };
  for (const Case& c : cases) {
    const uint64_t n = c.name.size(), m = c.pattern.size();
    uint64_t steps = 0;
    EXPECT_FALSE(ZAWildcardMatch(c.name, c.pattern, &steps)) << n << " x " << m;
    EXPECT_LE(steps, n * m + n + m) << n << " x " << m;
    if (c.wholeTable) {
      EXPECT_GE(steps, n * m) << "the count reports the work really done";
    }
  }
}

TEST(PathParts, DriveFolderAndName) {
  EXPECT_EQ(ZADrivePart(u"C:\\books\\*.fb2"), u"C:");
  EXPECT_EQ(ZADrivePart(u"\\\\server\\share\\x"), u"\\\\server\\share");
  EXPECT_EQ(ZADrivePart(u"books\\x"), u"");
  EXPECT_EQ(ZANamePart(u"a\\b\\c.fb2"), u"c.fb2");
  EXPECT_EQ(ZAFolderPart(u"a\\b\\c.fb2"), u"a\\b\\");
  EXPECT_EQ(ZAFolderPart(u"c.fb2"), u"");
}

}  // namespace
