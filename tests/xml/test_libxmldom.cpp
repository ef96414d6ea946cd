// The libxml2 back-end: white space, declaration node, safety limits, saving, namespaces.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "platform/codepage.h"
#include "platform/limits.h"
#include "xml/markupscan.h"
#include "xml/xmldom.h"
#include "tests/xml/dom_helpers.h"

using namespace velarin;
using namespace velarin::xml;

namespace {

using domtest::Names;
using domtest::Parse;
using domtest::Root;

TEST(LibxmlDom, IsTheDefaultVendorAndRegistersOnce) {
  EXPECT_TRUE(GetDOM());
  EXPECT_EQ(GetDOM(), GetDOM("libxml2"));
  try {
    RegisterDOMVendor("libxml2", GetDOM());
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "\"libxml2\" DOMImplementation already registered");
  }
  try {
    GetDOM("MSXML6");
    FAIL();
  } catch (const Exception& e) {
    EXPECT_STREQ(e.what(), "No matching DOM Vendor: \"MSXML6\"");
  }
}

TEST(LibxmlDom, HidesWhiteSpaceOnlyTextEverywhereButShowsOtherText) {
  auto d = Parse("<a>\n  <b> x </b>\n  <c><i>1</i> <i>2</i>tail </c>\t<d xml:space='preserve'> <e/> </d></a>");
  auto a = Root(d);
  EXPECT_EQ(Names(a->childNodes()), "b,c,d");
  auto kids = a->childNodes();
  EXPECT_EQ(Names(kids[0]->childNodes()), "#text[ x ]");
  // mixed content: the blank between the two elements goes, the text after them stays
  EXPECT_EQ(Names(kids[1]->childNodes()), "i,i,#text[tail ]");
  EXPECT_EQ(Names(kids[2]->childNodes()), "#text[ ],e,#text[ ]");
}

TEST(LibxmlDom, BlanksThatStartATextAreKept) {
  // The parser hands text over in pieces: leading blanks, a reference, a long run.
  std::string spaces(1000, ' ');
  auto d = Parse("<a><p>  &amp; x</p><q>" + spaces + "y</q><r>" + spaces + "<!--c-->" + spaces + "</r></a>");
  auto kids = Root(d)->childNodes();
  EXPECT_EQ(kids[0]->childNodes()[0]->nodeValue(), u"  & x");
  EXPECT_EQ(kids[1]->childNodes()[0]->nodeValue().size(), 1001u);
  EXPECT_EQ(Names(kids[2]->childNodes()), "#comment");
}

TEST(LibxmlDom, KeepsWhiteSpaceWhenAsked) {
  DOMDocument d = GetDOM()->createDocument();
  DOMParseSettings s;
  s.preserveWhiteSpace = true;
  d->setParseSettings(s);
  ASSERT_TRUE(d->loadBytes("<a> <b/> </a>"));
  EXPECT_EQ(Names(Root(d)->childNodes()), "#text[ ],b,#text[ ]");
}

TEST(LibxmlDom, DeclarationIsTheFirstChildAsWritten) {
  auto d = Parse("<?xml version=\"1.0\" encoding='windows-1251'?>\n<!-- c --><a/>");
  auto top = d->childNodes();
  ASSERT_EQ(top.size(), 3u);
  EXPECT_EQ(top[0]->nodeType(), nkProcessingInstr);
  EXPECT_EQ(top[0]->nodeName(), u"xml");
  EXPECT_EQ(top[0]->nodeValue(), u"version=\"1.0\" encoding='windows-1251'");
  EXPECT_EQ(top[1]->nodeType(), nkComment);
  auto none = Parse("<a/>");
  EXPECT_EQ(none->childNodes().size(), 1u);
}

TEST(LibxmlDom, ReadsUtf16WithAndWithoutMark) {
  std::u16string text = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>\u0416</a>";
  for (bool bom : {true, false})
    for (bool le : {true, false}) {
      std::string bytes;
      if (bom) bytes = le ? "\xFF\xFE" : "\xFE\xFF";
      for (char16_t c : text) {
        char lo = char(c & 0xFF), hi = char(c >> 8);
        bytes += le ? std::string{lo, hi} : std::string{hi, lo};
      }
      auto d = Parse(bytes);
      auto a = Root(d);
      ASSERT_TRUE(a) << bom << le;
      EXPECT_EQ(a->childNodes()[0]->nodeValue(), u"\u0416");
      EXPECT_EQ(d->childNodes()[0]->nodeValue(), u"version=\"1.0\" encoding=\"UTF-16\"");
    }
}

TEST(LibxmlDom, ParseErrorTellsReasonLineAndSource) {
  DOMDocument d = GetDOM()->createDocument();
  EXPECT_FALSE(d->loadBytes("<a>\n<b>\n</a>\n"));
  EXPECT_FALSE(d->parseError().reason.empty());
  EXPECT_EQ(d->parseError().line, 3);
  EXPECT_EQ(d->parseError().srcText, u"</a>");
  EXPECT_FALSE(d->loadBytes(""));
  EXPECT_FALSE(d->loadBytes(std::string("\x89PNG\r\n\x1a\n\0\0\0", 11)));
}

TEST(LibxmlDom, BillionLaughsFailsFast) {
  std::string doc = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  std::string prev = "lol";
  for (int i = 1; i <= 9; ++i) {
    std::string name = "lol" + std::to_string(i);
    doc += "<!ENTITY " + name + " \"";
    for (int k = 0; k < 10; ++k) doc += "&" + prev + ";";
    doc += "\">";
    prev = name;
  }
  doc += "]><lolz>&lol9;</lolz>";
  auto start = std::chrono::steady_clock::now();
  DOMDocument d = GetDOM()->createDocument();
  EXPECT_FALSE(d->loadBytes(doc));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(LibxmlDom, InternalEntitiesExpandExternalOnesAreNeverFetched) {
  auto d = Parse("<!DOCTYPE a [<!ENTITY e \"x&amp;y\">]><a>&e;</a>");
  EXPECT_EQ(Root(d)->childNodes()[0]->nodeValue(), u"x&y");
  DOMDocument ext = GetDOM()->createDocument();
  EXPECT_FALSE(ext->loadBytes("<!DOCTYPE a [<!ENTITY e SYSTEM \"/etc/hostname\">]><a>&e;</a>"));
}

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

TEST(LibxmlDom, NamespaceNamesThatAreNoURIsAreAccepted) {
  // a blank and a non-ASCII letter: a warning for other readers too, not a failure
  auto d = Parse("<a xmlns=\"http://example.com/a b\"><b xmlns:x=\"urn:\xD1\x82\xD0\xB5\xD1\x81\xD1\x82\" x:c=\"1\"/></a>");
  EXPECT_EQ(Root(d)->namespaceURI(), u"http://example.com/a b");
  EXPECT_EQ(Root(d)->childNodes()[0]->attributes().size(), 2u);
  // an undeclared prefix still fails
  DOMDocument bad = GetDOM()->createDocument();
  EXPECT_FALSE(bad->loadBytes("<a><x:b/></a>"));
}

TEST(LibxmlDom, SavesInTheDeclaredEncodingWithCharacterReferences) {
  std::string src = "<?xml version=\"1.0\" encoding=\"windows-1251\"?>\n<a t=\"\xE6\">\xE6</a>";
  auto d = Parse(src);
  auto a = Root(d);
  a->childNodes()[0]->setNodeValue(u"\u0416\u4E2D&<");
  std::string out = d->saveBytes();
  EXPECT_NE(out.find("<?xml version=\"1.0\" encoding=\"windows-1251\"?>"), std::string::npos) << out;
  EXPECT_NE(out.find("<a t=\"\xE6\">\xC6&#20013;&amp;&lt;</a>"), std::string::npos) << out;
  // and the bytes parse back to the same text
  auto again = Parse(out);
  EXPECT_EQ(Root(again)->childNodes()[0]->nodeValue(), u"\u0416\u4E2D&<");
  EXPECT_NE(platform::WideToUtf8(d->xml()).find("\xD0\x96\xE4\xB8\xAD"), std::string::npos);
}

TEST(LibxmlDom, SavesUtf16AndUtf8) {
  std::string src = "\xFF\xFE";
  for (char c : std::string("<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>x</a>")) src += std::string{c, '\0'};
  auto u16 = Parse(src);
  std::string out = u16->saveBytes();
  ASSERT_GE(out.size(), 4u);
  EXPECT_TRUE(out.find(std::string("<\0a\0>\0x\0", 8)) != std::string::npos);
  auto u8 = Parse("<a>\xD0\x96</a>");
  EXPECT_EQ(u8->saveBytes(), "<a>\xD0\x96</a>\n");
  // streamed in pieces, the bytes are the same
  std::string streamed;
  u16->saveBytes([&](const char* p, size_t n) { streamed.append(p, n); });
  EXPECT_EQ(streamed, out);
}

TEST(LibxmlDom, NewElementsReuseTheDeclarationInScope) {
  auto d = Parse("<FictionBook xmlns=\"http://fb\" xmlns:l=\"http://link\"><description/></FictionBook>");
  auto root = Root(d);
  auto desc = root->childNodes()[0];
  auto t = d->createElementNS(u"http://fb", u"title-info");
  desc->appendChild(t);
  auto link = d->createElementNS(u"http://link", u"l:ref");
  t->appendChild(link);
  EXPECT_EQ(t->namespaceURI(), u"http://fb");
  EXPECT_EQ(link->nodeName(), u"l:ref");
  std::string out = d->saveBytes();
  EXPECT_NE(out.find("<description><title-info><l:ref/></title-info></description>"), std::string::npos) << out;
  // Without a declaration in scope the element declares its namespace itself.
  auto lone = Parse("<a/>");
  auto n = lone->createElementNS(u"urn:x", u"b");
  Root(lone)->appendChild(n);
  EXPECT_NE(lone->saveBytes().find("<b xmlns=\"urn:x\"/>"), std::string::npos);
}

TEST(LibxmlDom, NamespaceDeclarationsShowAsAttributes) {
  auto d = Parse("<a xmlns=\"u1\" xmlns:l=\"u2\" l:href=\"#x\" id=\"1\"/>");
  auto attrs = Root(d)->attributes();
  ASSERT_EQ(attrs.size(), 4u);
  EXPECT_EQ(attrs[0]->nodeName(), u"xmlns");
  EXPECT_EQ(attrs[1]->nodeName(), u"xmlns:l");
  EXPECT_EQ(attrs[1]->prefix(), u"xmlns");
  EXPECT_EQ(attrs[1]->localName(), u"l");
  EXPECT_EQ(attrs[1]->nodeValue(), u"u2");
  EXPECT_EQ(attrs[2]->nodeName(), u"l:href");
  EXPECT_EQ(attrs[2]->localName(), u"href");
  EXPECT_EQ(attrs[2]->namespaceURI(), u"u2");
}

TEST(LibxmlDom, EditsLinkRemoveAndOutliveTheirDocument) {
  DOMNode kept;
  {
    auto d = Parse("<a><b/><c/></a>");
    auto a = Root(d);
    auto kids = a->childNodes();
    auto text = d->createTextNode(u"t");
    a->appendChild(text);
    auto text2 = d->createTextNode(u"u");
    a->appendChild(text2);  // two text nodes side by side stay two nodes
    EXPECT_EQ(Names(a->childNodes()), "b,c,#text[t],#text[u]");
    try {
      a->insertBefore(d->createElement(u"x"), nullptr);
      FAIL();
    } catch (const DOMException& e) {
      EXPECT_STREQ(e.what(), "Node cannot be null");
    }
    a->insertBefore(d->createElement(u"first"), kids[0]);
    a->removeChild(kids[1]);
    EXPECT_EQ(Names(a->childNodes()), "first,b,#text[t],#text[u]");
    auto attr = d->createAttribute(u"name");
    attr->setNodeValue(u"A & B");
    a->setAttributeNode(attr);
    EXPECT_NE(d->saveBytes().find("name=\"A &amp; B\""), std::string::npos);
    auto replacement = d->createAttribute(u"name");
    EXPECT_TRUE(a->setAttributeNode(replacement)->isSameNode(*attr));
    a->removeAttributeNode(replacement);
    EXPECT_TRUE(a->attributes().empty());
    kept = kids[1];
  }
  // The removed node and its tree are still there for whoever holds them.
  EXPECT_EQ(kept->nodeName(), u"c");
  EXPECT_TRUE(kept->ownerDocument());
}

TEST(LibxmlDom, DeepDocumentsParseAndFree) {
  std::string open, close;
  for (int i = 0; i < 100000; ++i) {
    open += "<e>";
    close += "</e>";
  }
  DOMDocument d = GetDOM()->createDocument();
  // libxml2 refuses nesting past its own depth limit; either way nothing overflows.
  d->loadBytes(open + "x" + close);
  SUCCEED();
}

}  // namespace

namespace {

// The back-end's own walk of the body count agrees with the generic one over the DOM calls.
TEST(LibxmlDom, PlainTextLengthMatchesTheGenericWalk) {
  auto d = Parse(
      "<body><p>plain ascii text longer than eight</p><p>\xD0\x9A\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0 "
      "\xF0\x9F\x98\x80 mixed \xE4\xB8\xAD\xE6\x96\x87</p><p>a<emphasis>bcd</emphasis>e</p>"
      "<p><![CDATA[cdata]]></p><section><title><p>\xF0\x9F\x98\x80\xF0\x9F\x98\x80x</p></title></section>"
      "<empty/><p>&amp;&lt;</p></body>");
  auto body = Root(d);
  EXPECT_EQ(body->plainTextLength(), body->IDOMNode::plainTextLength());
  // 34 + (5 + 1 + 2 + 7 + 2) + 3 (only the emphasis) + 0 (CDATA) + 5 + 2
  EXPECT_EQ(body->plainTextLength(), 34 + 17 + 3 + 5 + 2);
}

}  // namespace

namespace {

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
  DOMDocument d = GetDOM()->createDocument();
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
    DOMDocument d = GetDOM()->createDocument();
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
    DOMDocument d = GetDOM()->createDocument();
    const bool loaded = d->loadFile(platform::Utf8ToWide(name));
    EXPECT_EQ(!loaded && d->parseError().reason == u"The document is too large", c.tooLarge)
        << platform::WideToUtf8(d->parseError().reason);
  }
  std::remove(name.c_str());
}

}  // namespace
