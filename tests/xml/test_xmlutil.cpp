// Byte-form detection, the split and join rules, the declaration attribute rule.
#include <algorithm>

#include "xml/xmldecl.h"
#include "xml/xmlutil.h"
#include "xmltest.h"

using namespace xmltest;

namespace {

struct FormCase {
  const char* what;
  std::string bytes;
  ByteForm form;
};
class ByteForms : public ::testing::TestWithParam<FormCase> {};

TEST_P(ByteForms, Detect) {
  EXPECT_EQ(int(DetectByteForm(GetParam().bytes)), int(GetParam().form)) << GetParam().what;
}

std::string B(const char* s, size_t n) { return std::string(s, n); }

INSTANTIATE_TEST_SUITE_P(
    Table, ByteForms,
    ::testing::Values(
        FormCase{"empty", "", ByteForm::Unknown},
        FormCase{"three bytes only", "<?x", ByteForm::Unknown},
        FormCase{"plain element", "<r/>", ByteForm::Unknown},
        FormCase{"8-bit declaration", "<?xml version", ByteForm::EightBitLike},
        FormCase{"declaration later, odd place", "  <?xml", ByteForm::EightBitLike},
        FormCase{"utf-8 mark", "\xEF\xBB\xBF<?xml", ByteForm::UTF8Signature},
        FormCase{"utf-8 mark at an odd position", "a\xEF\xBB\xBF<r>", ByteForm::UTF8Signature},
        FormCase{"utf-16 le mark + decl", B("\xFF\xFE<\0?\0x\0", 8), ByteForm::UTF16LittleEndianLike},
        FormCase{"utf-16 be mark + decl", B("\xFE\xFF\0<\0?\0x", 8), ByteForm::UTF16BigEndianLike},
        FormCase{"utf-16 le no decl", B("\xFF\xFE<\0r\0/\0>\0", 10), ByteForm::Unknown},
        FormCase{"ucs-4 be mark", B("\0\0\xFE\xFF", 4), ByteForm::UCS4BigEndianMark},
        FormCase{"ucs-4 le mark", B("\xFF\xFE\0\0", 4), ByteForm::UCS4LittleEndianMark},
        FormCase{"ucs-4 2143", B("\0\0\xFF\xFE", 4), ByteForm::UCS4Order2143},
        FormCase{"ucs-4 3412", B("\xFE\xFF\0\0", 4), ByteForm::UCS4Order3412},
        FormCase{"utf-16 be mark at position 2", B("ab\xFE\xFF\0\0", 6), ByteForm::UCS4Order3412},
        FormCase{"ebcdic", "\x4C\x6F\xA7\x94", ByteForm::EBCDICLike},
        FormCase{"ucs-4 be like", B("\0\0\0<\0\0\0?", 8), ByteForm::UCS4BigEndianLike},
        FormCase{"ucs-4 le like", B("<\0\0\0?\0\0\0", 8), ByteForm::UCS4LittleEndianLike},
        FormCase{"ucs-4 like, no question mark", B("<\0\0\0r\0\0\0", 8), ByteForm::UCS4Like},
        FormCase{"ucs-4 like 2143", B("\0\0<\0", 4), ByteForm::UCS4Like},
        FormCase{"four-byte signature at odd position not seen", B("a\0<\0?", 5), ByteForm::Unknown},
        FormCase{"utf-16 be at position 2", B("xy\0<\0?", 6), ByteForm::UTF16BigEndianLike}),
    [](const auto& info) {
      std::string n;
      for (char c : std::string(info.param.what)) n += isalnum((unsigned char)c) ? c : '_';
      return n;
    });

// Fed in pieces of every size, the scanner answers what one scan of all the bytes does.
TEST_P(ByteForms, SameAnswerInPieces) {
  const std::string padded = "filler:" + GetParam().bytes;  // positions shift by 7
  for (const std::string& bytes : {GetParam().bytes, padded}) {
    for (size_t piece = 1; piece <= 9; ++piece) {
      TByteFormScanner scan;
      for (size_t i = 0; i < bytes.size(); i += piece)
        scan.Feed(bytes.data() + i, std::min(piece, bytes.size() - i));
      EXPECT_EQ(int(scan.Finish()), int(DetectByteForm(bytes))) << GetParam().what << " piece " << piece;
    }
  }
}

TEST(ByteForms, WhichAreKept) {
  EXPECT_TRUE(KeepsBytes(ByteForm::Unknown));
  EXPECT_TRUE(KeepsBytes(ByteForm::UTF8Signature));
  EXPECT_TRUE(KeepsBytes(ByteForm::EightBitLike));
  EXPECT_FALSE(KeepsBytes(ByteForm::UTF16LittleEndianLike));
  EXPECT_FALSE(KeepsBytes(ByteForm::EBCDICLike));
}

struct SplitCase {
  std::string in;
  std::string joined;
  int lines;
};
class SplitJoin : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitJoin, LinesAndText) {
  const SplitCase& c = GetParam();
  TXMLLines lines;
  lines.SetText(c.in);
  EXPECT_EQ(lines.Text(), c.joined);
  ASSERT_EQ(lines.Count(), c.lines);
  std::string rebuilt;
  for (int i = 0; i < lines.Count(); ++i) rebuilt += lines.Line(i) + "\r\n";
  EXPECT_EQ(rebuilt, c.joined);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitJoin,
    ::testing::Values(SplitCase{"", "", 0}, SplitCase{"a", "a\r\n", 1},
                      SplitCase{"a\r\n", "a\r\n", 1}, SplitCase{"a\n", "a\r\n", 1},
                      SplitCase{"a\r", "a\r\n", 1}, SplitCase{"a\r\nb", "a\r\nb\r\n", 2},
                      SplitCase{"a\rb\nc", "a\r\nb\r\nc\r\n", 3},
                      SplitCase{"a\r\rb", "a\r\n\r\nb\r\n", 3},
                      SplitCase{"a\n\r", "a\r\n\r\n", 2}, SplitCase{"a\r\n\n", "a\r\n\r\n", 2},
                      SplitCase{"\n", "\r\n", 1}, SplitCase{"\r\n\r\n", "\r\n\r\n", 2},
                      SplitCase{std::string("ab\0cd\n", 6), "ab\r\n", 1},
                      SplitCase{std::string("ab\n\0cd", 6), "ab\r\n", 1},
                      SplitCase{std::string("\0ab", 3), "", 0},
                      SplitCase{"x\ty\x01\x0B\x0C", "x\ty\x01\x0B\x0C\r\n", 1}));

// Built from pieces of every size, the lines are those of the whole text.
TEST_P(SplitJoin, SameLinesFromPieces) {
  const std::string& in = GetParam().in;
  for (size_t piece = 1; piece <= 4; ++piece) {
    TLineBuilder lines(0);
    for (size_t i = 0; i < in.size(); i += piece) lines.Append(in.data() + i, std::min(piece, in.size() - i));
    EXPECT_EQ(lines.Take(), GetParam().joined) << "piece " << piece;
  }
}

TEST(Lines, BadIndexAndClear) {
  TXMLLines lines;
  lines.SetText("a\nb");
  EXPECT_EQ(lines.Line(1), "b");
  EXPECT_EQ(MessageOf<EListError>([&] { lines.Line(2); }), "List index out of bounds (2)");
  EXPECT_EQ(MessageOf<EListError>([&] { lines.Line(-1); }), "List index out of bounds (-1)");
  lines.Clear();
  EXPECT_TRUE(lines.Empty());
  EXPECT_EQ(lines.Count(), 0);
}

TEST(Lines, LargeTextInOnePass) {
  std::string big;
  for (int i = 0; i < 200000; ++i) big += "<p>line of text</p>\n";
  TXMLLines lines;
  lines.SetText(big);
  EXPECT_EQ(lines.Count(), 200000);
  EXPECT_EQ(lines.Line(199999), "<p>line of text</p>");
  EXPECT_EQ(lines.Text().size(), big.size() + 200000);
}

struct AttrCase {
  const char* text;
  const char* name;
  const char* expected;
};
class DeclAttr : public ::testing::TestWithParam<AttrCase> {};

TEST_P(DeclAttr, Rule) {
  EXPECT_EQ(DeclarationAttribute(GetParam().text, GetParam().name, "DEF"), GetParam().expected)
      << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeclAttr,
    ::testing::Values(AttrCase{"version=\"1.0\" encoding=\"windows-1251\"", "encoding", "windows-1251"},
                      AttrCase{"version=\"1.0\" encoding='utf-8'", "encoding", "utf-8"},
                      AttrCase{"version=\"1.0\" encoding=\"x'", "encoding", "x"},
                      AttrCase{"version=\"1.0\"", "encoding", "DEF"},
                      AttrCase{"version=\"1.0\" ENCODING=\"x\"", "encoding", "DEF"},
                      AttrCase{"encoding=\"abc", "encoding", "ab"},
                      AttrCase{"encoding=\"", "encoding", ""},
                      AttrCase{"encoding=", "encoding", ""},
                      AttrCase{"encoding", "encoding", ""},
                      AttrCase{"encoding=\"\"", "encoding", ""},
                      AttrCase{"version=\"1.0\" standalone=\"yes\"", "standalone", "yes"},
                      AttrCase{"version=\"1.0\" standalone=\"yes\"", "version", "1.0"},
                      AttrCase{"version = '1.0' ", "version", "1.0"},
                      AttrCase{"version=\"1.0\" encoding =\t\"koi8-r\" standalone='no'", "encoding", "koi8-r"},
                      AttrCase{"Encoding=\"x\" ", "encoding", "DEF"},
                      AttrCase{"encoding=\"a\"", "encoding", "a"},
                      AttrCase{"encoding=\"a\" ", "encoding", "a"},
                      AttrCase{"encoding'", "encoding", ""},
                      AttrCase{"encoding:x 'y' ", "encoding", "y"}));

// The look-up every declaration reader goes through, in 8 and 16 bits: where the
// name, the opening and the closing quote are, by either closing rule.
struct ItemCase {
  const char* text;
  DeclQuote quote;
  size_t name, open, close;
  const char* value;
};
class DeclItems : public ::testing::TestWithParam<ItemCase> {};

TEST_P(DeclItems, SameIn8And16Bits) {
  const ItemCase& c = GetParam();
  const std::string text8 = c.text;
  const std::u16string text16(text8.begin(), text8.end());
  for (const DeclItem& item : {FindDeclItem(std::string_view(text8), "encoding", c.quote),
                               FindDeclItem(std::u16string_view(text16), "encoding", c.quote)}) {
    EXPECT_EQ(item.name, c.name) << c.text;
    EXPECT_EQ(item.open, c.open) << c.text;
    EXPECT_EQ(item.close, c.close) << c.text;
  }
  EXPECT_EQ(DeclValue(std::string_view(text8), "encoding", c.quote), c.value) << c.text;
  EXPECT_EQ(U8(DeclValue(std::u16string_view(text16), "encoding", c.quote)), c.value) << c.text;
}

constexpr size_t kNone = DeclItem::npos;
INSTANTIATE_TEST_SUITE_P(
    Table, DeclItems,
    ::testing::Values(ItemCase{"version=\"1.0\" encoding=\"cp1251\"", DeclQuote::Same, 14, 23, 30, "cp1251"},
                      ItemCase{"encoding = 'KOI8-R'", DeclQuote::Same, 0, 11, 18, "KOI8-R"},
                      ItemCase{"encoding = 'KOI8-R'", DeclQuote::Either, 0, 11, 18, "KOI8-R"},
                      ItemCase{"encoding=\"x'y\"", DeclQuote::Same, 0, 9, 13, "x'y"},
                      ItemCase{"encoding=\"x'y\"", DeclQuote::Either, 0, 9, 11, "x"},
                      ItemCase{"encoding=\"x", DeclQuote::Same, 0, 9, kNone, ""},
                      ItemCase{"encoding=\"x", DeclQuote::Either, 0, 9, kNone, ""},
                      ItemCase{"encoding", DeclQuote::Either, 0, kNone, kNone, ""},
                      ItemCase{"ENCODING=\"x\"", DeclQuote::Either, kNone, kNone, kNone, ""},
                      ItemCase{"encoding=x \"\"", DeclQuote::Same, 0, 11, 12, ""},
                      ItemCase{"a='1' encoding='2' encoding='3'", DeclQuote::Same, 6, 15, 17, "2"}));

struct NsCase {
  const char16_t* a;
  const char16_t* b;
  bool same;
};
class Namespaces : public ::testing::TestWithParam<NsCase> {};
TEST_P(Namespaces, CompareIgnoringCaseOfAToZ) {
  EXPECT_EQ(SameNamespace(GetParam().a, GetParam().b), GetParam().same);
}
INSTANTIATE_TEST_SUITE_P(Table, Namespaces,
                         ::testing::Values(NsCase{u"urn:a", u"URN:A", true},
                                           NsCase{u"urn:a", u"urn:a ", false},
                                           NsCase{u"", u"", true},
                                           NsCase{u"urn:[", u"urn:{", false},  // 0x5B vs 0x7B
                                           NsCase{u"urn:@", u"urn:`", false},
                                           NsCase{u"urn:\u00E9", u"urn:\u00C9", false},
                                           NsCase{u"urn:\u0436", u"urn:\u0436", true}));

struct XmlTextCase {
  std::u16string text;
  bool allowed;
};
class XmlText : public ::testing::TestWithParam<XmlTextCase> {};
TEST_P(XmlText, OnlyWhatXml10Allows) { EXPECT_EQ(IsXmlText(GetParam().text), GetParam().allowed); }
INSTANTIATE_TEST_SUITE_P(
    Table, XmlText,
    ::testing::Values(XmlTextCase{u"", true}, XmlTextCase{u"a\tb\nc\rd \u007F\u0085", true},
                      XmlTextCase{u"\uD7FF\uE000\uFFFD\U0001F600\U0010FFFF", true},
                      XmlTextCase{std::u16string(1, u'\0'), false}, XmlTextCase{u"a\x01", false},
                      XmlTextCase{u"\x1F", false}, XmlTextCase{u"x\uFFFE", false}, XmlTextCase{u"\uFFFF", false},
                      XmlTextCase{std::u16string{char16_t(0xD800)}, false}, XmlTextCase{std::u16string{char16_t(0xDC00), u'a'}, false},
                      XmlTextCase{std::u16string{char16_t(0xDBFF), char16_t(0xDBFF), char16_t(0xDC00)}, false}, XmlTextCase{std::u16string{char16_t(0xDCFF), u'z'}, false}));

}  // namespace
