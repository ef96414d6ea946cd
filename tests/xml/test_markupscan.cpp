// The markup scan both back-ends run ahead of their parser: what it counts, what it
// skips, and the refusals a document gets through the DOM binding.
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "xml/markupscan.h"
#include "xml/xmldom.h"

using namespace velarin;
using namespace velarin::xml;

namespace {

std::string Attributes(int n, const char* prefix = "a") {
  std::string s;
  for (int i = 0; i < n; ++i) s += " " + std::string(prefix) + std::to_string(i) + "='1'";
  return s;
}

std::string Element(int attributes) { return "<r" + Attributes(attributes) + "/>"; }

std::string Nested(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "<e>";
  for (int i = 0; i < depth; ++i) s += "</e>";
  return s;
}

std::string Utf16(const std::string& ascii, bool bigEndian) {
  std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char c : ascii) out += bigEndian ? std::string{'\0', c} : std::string{c, '\0'};
  return out;
}

const char* Scan(const std::string& bytes) {
  MarkupScan scan;
  scan.Feed(bytes.data(), bytes.size());
  return scan.Reason();
}

const char kAttributes[] = "Too many attributes on one element";
const char kInScope[] = "Too many namespace declarations in scope";
const char kDepth[] = "Elements are nested too deeply";
const char kWork[] = "Too many attributes, namespace declarations or nesting levels for the size of the document";

TEST(MarkupScan, LimitsHoldUpToTheBoundAndRefuseOnePast) {
  const int n = int(kMaxAttributes);
  std::string half = Attributes(n / 2, "xmlns:p");
  struct Case {
    std::string doc;
    const char* refusal;
  } cases[] = {
      {Element(n), nullptr},
      {Element(n + 1), kAttributes},
      {"<r" + Attributes(n - 1) + " xmlns='u'/>", nullptr},
      {"<r" + Attributes(n) + " xmlns='u'/>", kAttributes},
      // declarations in scope add up down the tree and go when their element ends
      {"<r" + half + "><c" + Attributes(n / 2, "xmlns:q") + "/></r>", nullptr},
      {"<r" + half + "><c" + Attributes(n / 2 + 1, "xmlns:q") + "/></r>", kInScope},
      {"<r" + half + "><c" + Attributes(n / 2, "xmlns:q") + "></c><d" + Attributes(n / 2, "xmlns:q") + "/></r>",
       nullptr},
      {Nested(int(kMaxDepth)), nullptr},
      {Nested(int(kMaxDepth) + 1), kDepth},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(Scan(c.doc), c.refusal) << c.doc.substr(0, 60);
    EXPECT_STREQ(Scan(Utf16(c.doc, false)), c.refusal);
    EXPECT_STREQ(Scan(Utf16(c.doc, true)), c.refusal);
  }
}

TEST(MarkupScan, CountsOnlyMarkup) {
  std::string many, quoted;
  for (int i = 0; i < 3 * int(kMaxAttributes); ++i) {
    many += "<x a=1 b=2/>";
    quoted += "<x a='1' b=\"2\">";
  }
  const std::string docs[] = {
      "<r v=\"" + std::string(3 * kMaxAttributes, '=') + "\" w='>" + many + "'/>",
      "<r><!--" + quoted + "--><![CDATA[" + quoted + "]]><?pi " + quoted + "?>" + std::string(kMaxAttributes + 1, '=') + "</r>",
      "<!DOCTYPE r [<!ENTITY e \"]>" + many + "\"><!-- ]> " + quoted + " --><?pi ]>" + quoted + "?>]><r/>",
      "<!DOCTYPE r SYSTEM 'x]>" + many + "'><r/>",
  };
  for (const std::string& d : docs) EXPECT_STREQ(Scan(d), nullptr) << d.substr(0, 60);
}

TEST(MarkupScan, Utf16TextIsReadByCodeUnits) {
  // U+043C and U+043D are '<' and '=' in one of their bytes
  std::u16string text = u"<r>" + std::u16string(3 * kMaxAttributes, u'\u043C') + std::u16string(3 * kMaxAttributes, u'\u043D') + u"</r>";
  std::string le = "\xFF\xFE", be = "\xFE\xFF", bare;
  for (char16_t c : text) {
    le += std::string{char(c & 0xFF), char(c >> 8)};
    be += std::string{char(c >> 8), char(c & 0xFF)};
    bare += std::string{char(c & 0xFF), char(c >> 8)};
  }
  for (const std::string& b : {le, be, bare}) {
    MarkupScan split;
    for (char c : b) split.Feed(&c, 1);  // units cut between calls
    EXPECT_FALSE(split.Refused());
  }
  MarkupScan chars;
  EXPECT_TRUE(chars.Feed(text.data(), text.size()));
  std::string refused = Element(int(kMaxAttributes) + 1);
  std::u16string wide(refused.begin(), refused.end());
  EXPECT_FALSE(chars.Feed(wide.data(), wide.size()));
}

TEST(MarkupScan, WalksOutOfProportionToTheBytesAreRefused) {
  // Each empty child below many declarations costs a walk through all of them.
  std::string root = "<r" + Attributes(5000, "xmlns:p") + ">";
  std::string few, many;
  for (int i = 0; i < 1000; ++i) few += "<c/>";
  for (int i = 0; i < 100000; ++i) many += "<c/>";
  EXPECT_STREQ(Scan(root + few + "</r>"), nullptr);
  EXPECT_STREQ(Scan(root + many + "</r>"), kWork);
  // Leaves deep down cost a walk up through their ancestors.
  std::string deep = Nested(5000);
  std::string leaves;
  for (int i = 0; i < 100000; ++i) leaves += "<c/>";
  EXPECT_STREQ(Scan(deep.substr(0, deep.size() / 2) + leaves + deep.substr(deep.size() / 2)), kWork);
}

TEST(MarkupScan, RefusalTellsTheLine) {
  MarkupScan scan;
  std::string doc = "<r>\n<a/>\n\n<b" + Attributes(int(kMaxAttributes) + 1) + "/></r>";
  EXPECT_FALSE(scan.Feed(doc.data(), doc.size()));
  EXPECT_EQ(scan.Line(), 4);
  EXPECT_FALSE(scan.Feed("<r/>", 4));  // and stays refused
}

// Through the binding: the default back-end refuses with the scan's reason.
TEST(MarkupScan, BackEndRefusesWithTheReason) {
  DOMDocument d = GetDOM()->createDocument();
  std::string doc = "<?xml version='1.0'?>\n<r" + Attributes(int(kMaxAttributes) + 1) + "/>";
  EXPECT_FALSE(d->loadBytes(doc));
  EXPECT_EQ(platform::WideToUtf8(d->parseError().reason), kAttributes);
  EXPECT_EQ(d->parseError().line, 2);
  std::u16string text(doc.begin(), doc.end());
  EXPECT_FALSE(d->loadText(text));
  EXPECT_EQ(platform::WideToUtf8(d->parseError().reason), kAttributes);
  std::string fine = "<r" + Attributes(int(kMaxAttributes)) + "/>";
  EXPECT_TRUE(d->loadBytes(fine)) << platform::WideToUtf8(d->parseError().reason);
  EXPECT_FALSE(d->loadBytes(Nested(int(kMaxDepth) + 1)));
  EXPECT_EQ(platform::WideToUtf8(d->parseError().reason), kDepth);
}

}  // namespace
