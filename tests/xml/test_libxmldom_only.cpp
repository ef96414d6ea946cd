// What only the libxml2 back-end promises, beyond the conformance suite: its
// parser's own limits and refusals, and the exact bytes it writes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "platform/limits.h"
#include "tests/xml/dom_helpers.h"
#include "xml/markupscan.h"
#include "xml/xmldom.h"

using namespace velarin;
using namespace velarin::xml;

namespace {

using domtest::Root;

DOMDocument New() { return GetDOM("libxml2")->createDocument(); }
DOMDocument Parse(const std::string& bytes) { return domtest::Parse(bytes, "libxml2"); }

TEST(LibxmlDom, DeclarationValueIsAsWritten) {
  auto d = Parse("<?xml version=\"1.0\" encoding='windows-1251'?>\n<!-- c --><a/>");
  auto top = d->childNodes();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0]->nodeValue(), u"version=\"1.0\" encoding='windows-1251'");
}

TEST(LibxmlDom, ParseErrorSourceIsTheOffendingLine) {
  DOMDocument d = New();
  EXPECT_FALSE(d->loadBytes("<a>\n<b>\n</a>\n"));
  EXPECT_EQ(d->parseError().srcText, u"</a>");
}

TEST(LibxmlDom, SavesUtf8WithoutADeclarationAsIs) {
  EXPECT_EQ(Parse("<a>\xD0\x96</a>")->saveBytes(), "<a>\xD0\x96</a>\n");
}

// Nested entities that would expand to 3 * 10^levels bytes. The parser refuses the
// amplification itself, so the load fails without producing anything; at 15 levels
// nothing that expanded could finish at all.
TEST(LibxmlDom, EntityAmplificationIsRefusedUnexpanded) {
  // libxml2 names the refusal so before 2.11 and so from then on
  const char* const refusals[] = {"Detected an entity reference loop", "Maximum entity amplification factor exceeded"};
  for (int levels : {9, 15}) {
    std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    std::string prev = "lol";
    for (int i = 1; i <= levels; ++i) {
      std::string name = "lol" + std::to_string(i);
      doc += "<!ENTITY " + name + " \"";
      for (int k = 0; k < 10; ++k) doc += "&" + prev + ";";
      doc += "\">";
      prev = name;
    }
    doc += "]><lolz>&" + prev + ";</lolz>";
    DOMDocument d = New();
    EXPECT_FALSE(d->loadBytes(doc)) << levels;
    const std::string reason = platform::WideToUtf8(d->parseError().reason);
    bool named = false;
    for (const char* r : refusals) named |= reason.rfind(r, 0) == 0;
    EXPECT_TRUE(named) << levels << ": " << reason;
    EXPECT_LT(d->xml().size(), doc.size()) << levels;
    EXPECT_TRUE(d->childNodes().empty()) << levels;
  }
}

// Internal entities are replaced by their text (MSXML keeps an entity reference node
// instead); external ones fail the load rather than being fetched.
TEST(LibxmlDom, InternalEntitiesExpandExternalOnesFailTheLoad) {
  auto d = Parse("<!DOCTYPE a [<!ENTITY e \"x&amp;y\">]><a>&e;</a>");
  EXPECT_EQ(Root(d)->childNodes()[0]->nodeValue(), u"x&y");
  EXPECT_FALSE(New()->loadBytes("<!DOCTYPE a [<!ENTITY e SYSTEM \"/etc/hostname\">]><a>&e;</a>"));
}

TEST(LibxmlDom, NamespaceNamesThatAreNoURIsAreAccepted) {
  // a blank and a non-ASCII letter: a warning for other readers too, not a failure
  auto d = Parse("<a xmlns=\"http://example.com/a b\"><b xmlns:x=\"urn:\xD1\x82\xD0\xB5\xD1\x81\xD1\x82\" x:c=\"1\"/></a>");
  EXPECT_EQ(Root(d)->namespaceURI(), u"http://example.com/a b");
  EXPECT_EQ(Root(d)->childNodes()[0]->attributes().size(), 2u);
  // an undeclared prefix still fails
  EXPECT_FALSE(New()->loadBytes("<a><x:b/></a>"));
}

// Past the parser's 10 MB limit on one text node.
TEST(LibxmlDom, AcceptsVeryLargeTextNodes) {
  std::string big(30u << 20, 'A');
  auto d = Parse("<a><binary>" + big + "</binary></a>");
  EXPECT_EQ(Root(d)->childNodes()[0]->childNodes()[0]->nodeValue().size(), big.size());
}

TEST(LibxmlDom, DeclaredEntitiesLeaveLargeTextNodesAlone) {
  // an embedded image past the parser's 10 MB text limit, in a book whose DTD declares an entity
  std::string big(12u << 20, 'A');
  auto d = Parse("<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;<binary>" + big + "</binary></a>");
  auto kids = Root(d)->childNodes();
  ASSERT_EQ(kids.size(), 2u);
  EXPECT_EQ(kids[1]->childNodes()[0]->nodeValue().size(), big.size());
}

// Every construct that can grow without bound, at a size where a parser that
// rescans what it has read takes many seconds: the parser reads each byte once.
struct LargeConstruct {
  const char* what;
  const char* open;
  const char* close;
  const char* unit;
  size_t size;
};

class LibxmlLarge : public ::testing::TestWithParam<LargeConstruct> {};

TEST_P(LibxmlLarge, ParsesInOnePass) {
  const LargeConstruct& c = GetParam();
  std::string doc = c.open;
  doc.reserve(c.size + 64);
  while (doc.size() < c.size) doc += c.unit;
  doc += c.close;
  DOMDocument d = New();
  EXPECT_TRUE(d->loadBytes(doc)) << c.what << ": " << platform::WideToUtf8(d->parseError().reason);
  EXPECT_EQ(d->sourceSize(), doc.size()) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Constructs, LibxmlLarge,
    ::testing::Values(LargeConstruct{"attribute", "<r v='", "'/>", "AAAAAAAA", 24u << 20},
                      LargeConstruct{"comment", "<r><!--", "--></r>", "AAAAAAAA", 24u << 20},
                      LargeConstruct{"cdata", "<r><![CDATA[", "]]></r>", "AAAAAAAA", 24u << 20},
                      LargeConstruct{"pi", "<r><?pi ", "?></r>", "AAAAAAAA", 24u << 20},
                      LargeConstruct{"charrefs", "<r>", "</r>", "&#65;", 24u << 20},
                      LargeConstruct{"attrrefs", "<r v='", "'/>", "&#65;", 24u << 20},
                      // names: libxml2 refuses them past 10,000,000 bytes
                      LargeConstruct{"elementname", "<r><n", "/></r>", "AAAAAAAA", 9u << 20},
                      LargeConstruct{"attributename", "<r n", "='1'/>", "AAAAAAAA", 9u << 20}),
    [](const ::testing::TestParamInfo<LargeConstruct>& info) { return std::string(info.param.what); });

// Defaulted attributes land on every element of their name: the DTD's count is bound too.
TEST(LibxmlDom, DtdAttributeDefaultsAreBound) {
  auto decls = [](int n, const char* prefix) {
    std::string s = "<!DOCTYPE r [<!ATTLIST r";
    for (int i = 0; i < n; ++i) s += " " + std::string(prefix) + std::to_string(i) + " CDATA 'd'";
    return s + ">]>";
  };
  std::string elements;
  for (int i = 0; i < 20000; ++i) elements += "<r/>";
  struct Case {
    std::string doc;
    const char* refusal;
  } cases[] = {
      {decls(3, "a") + "<r>" + elements + "</r>", nullptr},
      {decls(3, "xmlns:p") + "<r>" + elements + "</r>", nullptr},
      {decls(int(kMaxAttributes) + 1, "a") + "<r/>", "Too many attributes on one element"},
      // each element goes through them all: a few kilobytes of elements would take minutes
      {decls(5000, "a") + "<r>" + elements + "</r>", "Too many attributes, namespace declarations or nesting levels for the size of the document"},
      {decls(5000, "xmlns:p") + "<r>" + elements + "</r>", "Too many attributes, namespace declarations or nesting levels for the size of the document"},
  };
  for (const Case& c : cases) {
    DOMDocument d = New();
    std::string reason = d->loadBytes(c.doc) ? "" : platform::WideToUtf8(d->parseError().reason);
    EXPECT_EQ(reason, c.refusal ? c.refusal : "") << c.doc.substr(0, 60);
  }
}

// A file past the bound is refused at once; the bound itself is not refused for its size.
TEST(LibxmlDom, FilesPastTheTextBoundAreRefusedUnread) {
  std::string name = ::testing::TempDir() + "velarin-bound.fb2";
  struct Case {
    std::int64_t size;
    bool tooLarge;
  } cases[] = {{platform::kMaxBookText, false}, {platform::kMaxBookText + 1, true}};
  for (const Case& c : cases) {
    FILE* f = std::fopen(name.c_str(), "wb");
    ASSERT_TRUE(f);
    std::fputs("<r/>", f);
    std::fclose(f);
    ASSERT_EQ(truncate(name.c_str(), c.size), 0);  // sparse: zeros after the root
    DOMDocument d = New();
    const bool loaded = d->loadFile(platform::Utf8ToWide(name));
    EXPECT_EQ(!loaded && d->parseError().reason == u"The document is too large", c.tooLarge)
        << platform::WideToUtf8(d->parseError().reason);
  }
  std::remove(name.c_str());
}

}  // namespace
