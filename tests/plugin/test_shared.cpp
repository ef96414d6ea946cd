// Unit tests: path tokens, host buffer copies and archive names.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/codepage.h"
#include "plugin/archived.h"
#include "plugin/shared.h"

namespace velarin::plugin {
namespace {

struct TokenCase {
  const char* input;
  char delim;
  const char* token;
  const char* rest;
};

class TakeTokens : public ::testing::TestWithParam<TokenCase> {};

TEST_P(TakeTokens, SplitAtTheFirstDelimiter) {
  std::string s = GetParam().input;
  EXPECT_EQ(TakeToken(s, GetParam().delim), GetParam().token);
  EXPECT_EQ(s, GetParam().rest);
}

INSTANTIATE_TEST_SUITE_P(Plugin, TakeTokens,
                         ::testing::Values(TokenCase{"description/title-info/*author/last-name", '*',
                                                     "description/title-info/", "author/last-name"},
                                           TokenCase{"author/last-name", '/', "author", "last-name"},
                                           TokenCase{"last-name", '/', "last-name", ""},
                                           TokenCase{"", '/', "", ""},
                                           TokenCase{"//x", '/', "", "/x"},
                                           TokenCase{"a*b*c", '*', "a", "b*c"},
                                           TokenCase{"a/", '/', "a", ""}));

TEST(CopyToBuffer, CutsAtSizeAndAtCharacterBoundaries) {
  char b[8];
  std::memset(b, 'x', sizeof b);
  CopyToBuffer("abcdef", b, 4);
  EXPECT_STREQ(b, "abc");
  EXPECT_EQ(b[4], 'x');
  CopyToBuffer("abc", b, 4);
  EXPECT_STREQ(b, "abc");
  std::memset(b, 'x', sizeof b);
  CopyToBuffer("abc", b, 0);
  EXPECT_EQ(b[0], 'x');
  CopyToBuffer("abc", nullptr, 4);  // no buffer: nothing happens
  if (platform::SysIsUtf8()) {
    // "жж" is four bytes: a room of three keeps only the first letter
    CopyToBuffer("\xD0\xB6\xD0\xB6", b, 4);
    EXPECT_STREQ(b, "\xD0\xB6");
    CopyToBuffer("a\xE2\x82\xAC", b, 3);
    EXPECT_STREQ(b, "a");
    CopyToBuffer("a\xF0\x9F\x98\x80", b, 5);
    EXPECT_STREQ(b, "a");
  } else {
    // a single-byte ANSI code page (the Windows runs): every byte is a character
    CopyToBuffer("\xE6\xE6\xE6\xE6", b, 4);
    EXPECT_STREQ(b, "\xE6\xE6\xE6");
  }
}

struct NameCase {
  const char* name;
  bool archive;
};

class ArchiveNames : public ::testing::TestWithParam<NameCase> {};

TEST_P(ArchiveNames, LastFourCharactersDecide) { EXPECT_EQ(IsArchiveName(GetParam().name), GetParam().archive); }

INSTANTIATE_TEST_SUITE_P(Plugin, ArchiveNames,
                         ::testing::Values(NameCase{"BOOK.ZIP", true}, NameCase{"x.Fbz", true},
                                           NameCase{"a.zip", true}, NameCase{".zip", true},
                                           NameCase{"/books/a.fb2.zip", true}, NameCase{"Book.FB2", false},
                                           NameCase{"zip", false}, NameCase{"a.zip.bak", false},
                                           NameCase{"", false}, NameCase{"azip", false},
                                           NameCase{"\xD0\xB6.ZiP", true}));

}  // namespace
}  // namespace velarin::plugin
