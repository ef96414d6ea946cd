// Mask matching: the wildcard match, the "*.*" and trailing-dot forms, and the bound on work.
#include <gtest/gtest.h>

#include <chrono>

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

TEST(Wildcard, ManyStarsAgainstALongNameAnswerQuickly) {
  std::u16string name(65535, u'a');
  std::u16string pattern;
  for (int i = 0; i < 120; ++i) pattern += u"*a";
  pattern += u"b";
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(ZAWildcardMatch(name, pattern));
  EXPECT_FALSE(ZAWildcardMatch(std::u16string(4000, u'a'), std::u16string(259, u'*') + u"b"));
  // No shortcut applies here: the whole table is filled (about 2.5 million cells).
  std::u16string stars;
  for (int i = 0; i < 120; ++i) stars += u"*a";
  EXPECT_FALSE(ZAWildcardMatch(std::u16string(10000, u'a') + u"b" + std::u16string(10000, u'a'), u"a" + stars + u"ba*ca*"));
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(ms, 500);  // exponential backtracking would never finish
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
