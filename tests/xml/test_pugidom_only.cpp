// The pugixml back-end against the libxml2 one: the documents pugixml reads
// itself and those it hands to libxml2, and in both cases the same tree, the
// same saved bytes and the same answers to edits.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/codepage.h"
#include "xml/pugidom.h"
#include "xml/xmldom.h"

using namespace velarin;
using namespace velarin::xml;

namespace {

std::string U8(const std::u16string& s) { return platform::WideToUtf8(s); }

// Everything a reader can ask of a node and what is below it, one line per node.
void Dump(const DOMNode& n, std::string& out, int depth = 0) {
  out.append(size_t(depth) * 2, ' ');
  out += std::to_string(n->nodeType()) + " " + U8(n->nodeName()) + " local=" + U8(n->localName()) +
         " prefix=" + U8(n->prefix()) + " ns=" + U8(n->namespaceURI()) + " value=[" + U8(n->nodeValue()) + "]";
  if (n->nodeType() == nkElement || n->nodeType() == nkDocument)
    out += " text=" + std::to_string(n->plainTextLength());
  out += "\n";
  if (n->hasAttributeMap())
    for (const DOMNode& a : n->attributes()) Dump(a, out, depth + 1);
  for (const DOMNode& c : n->childNodes()) Dump(c, out, depth + 1);
}

std::string Dump(const DOMDocument& d) {
  std::string out;
  Dump(d, out);
  return out;
}

struct Loaded {
  DOMDocument doc;
  bool ok;
};

Loaded Load(const std::string& backend, const std::string& bytes, bool preserve = false) {
  DOMDocument d = GetDOM(backend)->createDocument();
  DOMParseSettings settings;
  settings.preserveWhiteSpace = preserve;
  d->setParseSettings(settings);
  const bool ok = d->loadBytes(bytes);
  return {d, ok};
}

// Loads bytes with both back-ends and compares everything; answers the pugixml document.
DOMDocument ExpectSame(const std::string& bytes, bool preserve = false) {
  Loaded p = Load("pugixml", bytes, preserve);
  Loaded l = Load("libxml2", bytes, preserve);
  EXPECT_EQ(p.ok, l.ok);
  if (!p.ok || !l.ok) {
    EXPECT_EQ(U8(p.doc->parseError().reason), U8(l.doc->parseError().reason));
    EXPECT_EQ(p.doc->parseError().line, l.doc->parseError().line);
    return p.doc;
  }
  EXPECT_EQ(Dump(p.doc), Dump(l.doc));
  EXPECT_EQ(p.doc->saveBytes(), l.doc->saveBytes());
  EXPECT_EQ(U8(p.doc->xml()), U8(l.doc->xml()));
  return p.doc;
}

struct Case {
  const char* name;
  std::string bytes;
  bool fast;  // pugixml reads it itself
};

const char kFb[] = "http://www.gribuser.ru/xml/fictionbook/2.0";

std::string Book(const std::string& body, const std::string& decl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n") {
  return decl + "<FictionBook xmlns=\"" + kFb + "\" xmlns:l=\"http://www.w3.org/1999/xlink\">\n" + body +
         "\n</FictionBook>\n";
}

const Case kCases[] = {
    {"Indented", Book(" <description>\n  <title-info>\n   <book-title>T</book-title>\n  </title-info>\n </description>"), true},
    {"NoDeclaration", "<a>\n <b>x</b>\n</a>", true},
    {"DeclarationWithoutEncoding", Book("<p>é</p>", "<?xml version='1.0'?>"), true},
    {"NonAsciiAttributeWithoutEncoding", Book("<p id=\"é\">x</p>", "<?xml version='1.0'?>"), true},
    {"ByteOrderMark", "\xEF\xBB\xBF" + Book("<p>x</p>"), true},
    {"References", Book("<p a=\"&gt;&amp;&quot;&#10;&#x9;\">&lt;&gt;&amp;&apos;&#160;&#x1F600;</p>"), true},
    {"EscapedLessThanInAnAttribute", Book("<p a=\"&lt;\">x</p>"), true},
    {"LessThanInAnAttributeOnAnElementInside", Book("<p><b a=\"<\"/></p>"), false},
    {"ReservedNamespaceName", "<a xmlns:p=\"http://www.w3.org/2000/xmlns/\"/>", false},
    {"CDataSideBySide", "<a><![CDATA[x]]><![CDATA[y]]></a>", false},
    {"CarriageReturnInAnInstruction", "<a><?p x\r\ny?></a>", false},
    {"CDataApart", "<a><![CDATA[x]]> <![CDATA[y]]></a>", true},
    {"AttributeBlanksBecomeSpaces", Book("<p a=\"x\ty\r\nz\">x</p>"), true},
    {"CommentsAndInstructions", "<?xml version=\"1.0\"?>\n<!-- c -->\n<?pi data?>\n<a><!--in--><?p?></a>\n<!-- t -->", true},
    {"CData", Book("<p><![CDATA[a<b]]></p><p> <![CDATA[x]]> </p>"), true},
    {"PreservedBlanks", Book("<p xml:space=\"preserve\"> <b/> </p><q xml:space=\"default\"> <b/> </q>"), true},
    {"LinksInANamespace", Book("<image l:href=\"#c\"/><a l:type=\"note\" l:href=\"#n1\">1</a>"), true},
    {"DeclarationAfterAnAttribute", "<a x=\"1\" xmlns:p=\"urn:p\"><p:b p:c=\"2\"/></a>", true},
    {"DefaultNamespaceUndeclared", "<a xmlns=\"urn:a\"><b xmlns=\"\"><c/></b></a>", true},
    {"CarriageReturns", "<a>\r\n <b>x\ry</b>\r\n</a>", true},
    {"EmptyRoot", "<a/>", true},
    {"DocumentType", "<!DOCTYPE a [<!ENTITY e \"x\">]><a>&e;</a>", false},
    {"UndefinedEntity", Book("<p>&nbsp;</p>"), false},
    {"BareAmpersand", Book("<p>a & b</p>"), false},
    {"AttributeTwice", "<a x=\"1\" x=\"2\"/>", false},
    {"NamespacedAttributeTwice", "<a xmlns:p=\"urn:p\" xmlns:q=\"urn:p\" p:x=\"1\" q:x=\"2\"/>", false},
    {"UndeclaredPrefix", "<a><p:b/></a>", false},
    {"UndeclaredAttributePrefix", "<a p:x=\"1\"/>", false},
    {"TextBeforeTheRoot", "x<a/>", false},
    {"TextAfterTheRoot", "<a/>x", false},
    {"TwoRoots", "<a/><b/>", false},
    {"DoubleHyphenInAComment", "<a><!-- a -- b --></a>", false},
    {"LessThanInAnAttribute", "<a x=\"<\"/>", false},
    {"ControlCharacter", "<a>\x01</a>", false},
    {"InvalidUtf8", "<a>\xC3\x28</a>", false},
    {"CDataEndInText", "<a>x]]>y</a>", false},
    {"DeclarationInTheMiddle", "<a><?xml version=\"1.0\"?></a>", false},
    {"MismatchedTags", "<a><b></a></b>", false},
    {"Empty", "", false},
    {"Windows1251", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xCF\xF0\xE8</a>", true},
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class PugiVsLibxml : public ::testing::TestWithParam<Case> {};

INSTANTIATE_TEST_SUITE_P(Documents, PugiVsLibxml, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST_P(PugiVsLibxml, ReadsWhatItCanAndHandsOverTheRestAlike) {
  const Case& c = GetParam();
  DOMDocument d = ExpectSame(c.bytes);
  const char* why = PugiHandOverReason(*d);
  EXPECT_EQ(why == nullptr, c.fast) << (why ? why : "read by pugixml");
  ExpectSame(c.bytes, true);
}

// One edit applied to a document of each back-end; the trees and saves must agree after it.
struct Edit {
  const char* name;
  std::function<void(const DOMDocument&)> apply;
};

DOMNode Child(const DOMNode& n, size_t i) { return n->childNodes().at(i); }
DOMNode Root(const DOMDocument& d) {
  for (auto& c : d->childNodes())
    if (c->nodeType() == nkElement) return c;
  return nullptr;
}

const std::string kEditBody = (
    " <description>\n  <title-info>\n   <genre>sf</genre>\n   <book-title>Old</book-title>\n   <empty/>\n"
    "  </title-info>\n </description>\n <body><p>x</p></body>");

const Edit kEdits[] = {
    {"SetText", [](const DOMDocument& d) { Child(Child(Child(Root(d), 0), 0), 1)->childNodes()[0]->setNodeValue(u"New <&>"); }},
    {"FillAnEmptyElement",
     [](const DOMDocument& d) {
       DOMNode empty = Child(Child(Child(Root(d), 0), 0), 2);
       empty->appendChild(d->createTextNode(u""));
       empty->childNodes()[0]->setNodeValue(u" ");
     }},
    {"AppendInTheNamespace",
     [](const DOMDocument& d) {
       DOMNode info = Child(Child(Root(d), 0), 0);
       DOMNode e = d->createElementNS(u"http://www.gribuser.ru/xml/fictionbook/2.0", u"keywords");
       e->appendChild(d->createTextNode(u"k"));
       info->appendChild(e);
     }},
    {"InsertBefore",
     [](const DOMDocument& d) {
       DOMNode info = Child(Child(Root(d), 0), 0);
       DOMNode e = d->createElementNS(u"http://www.gribuser.ru/xml/fictionbook/2.0", u"genre");
       info->insertBefore(e, Child(info, 1));
     }},
    {"AppendWithoutANamespace", [](const DOMDocument& d) { Child(Child(Root(d), 0), 0)->appendChild(d->createElement(u"x:y")); }},
    {"RemoveAChild",
     [](const DOMDocument& d) {
       DOMNode info = Child(Child(Root(d), 0), 0);
       info->removeChild(Child(info, 0));
     }},
    {"SetAndReplaceAttributes",
     [](const DOMDocument& d) {
       DOMNode p = Child(Child(Root(d), 1), 0);
       DOMNode a = d->createAttribute(u"id");
       a->setNodeValue(u"1 \"é\"\t");
       p->setAttributeNode(a);
       DOMNode b = d->createAttribute(u"id");
       b->setNodeValue(u"2");
       DOMNode old = p->setAttributeNode(b);
       ASSERT_TRUE(old);
       EXPECT_EQ(old->nodeValue(), u"1 \"é\"\t");
       p->setAttributeNode(d->createAttribute(u"l:href"));
       p->removeAttributeNode(p->attributes().at(0));
     }},
    {"MoveAnElement",
     [](const DOMDocument& d) {
       DOMNode root = Root(d);
       DOMNode body = Child(root, 1);
       root->removeChild(body);
       root->insertBefore(body, Child(root, 0));
     }},
};

void PrintTo(const Edit& e, std::ostream* os) { *os << e.name; }

class PugiEdits : public ::testing::TestWithParam<Edit> {};

INSTANTIATE_TEST_SUITE_P(Edits, PugiEdits, ::testing::ValuesIn(kEdits),
                         [](const ::testing::TestParamInfo<Edit>& info) { return info.param.name; });

TEST_P(PugiEdits, LeaveTheSameTreeAndBytesAsLibxml2) {
  for (const char* encoding : {"UTF-8", "windows-1251"}) {
    const std::string bytes = Book(kEditBody, std::string("<?xml version=\"1.0\" encoding=\"") + encoding + "\"?>\n");
    Loaded p = Load("pugixml", bytes);
    Loaded l = Load("libxml2", bytes);
    ASSERT_TRUE(p.ok && l.ok);
    EXPECT_EQ(PugiHandOverReason(*p.doc), nullptr);
    GetParam().apply(p.doc);
    GetParam().apply(l.doc);
    EXPECT_EQ(Dump(p.doc), Dump(l.doc)) << encoding;
    EXPECT_EQ(p.doc->saveBytes(), l.doc->saveBytes()) << encoding;
  }
}

TEST(PugiDocument, ANewDocumentIsBuiltAsWithLibxml2) {
  DOMDocument p = GetDOM("pugixml")->createDocument();
  DOMDocument l = GetDOM("libxml2")->createDocument();
  for (const DOMDocument& d : {p, l}) {
    DOMNode root = d->createElementNS(u"urn:a", u"a");
    d->appendChild(root);
    root->appendChild(d->createElement(u"b"));
    root->appendChild(d->createTextNode(u"t"));
  }
  EXPECT_EQ(Dump(p), Dump(l));
  EXPECT_EQ(p->saveBytes(), l->saveBytes());
}

TEST(PugiDocument, AReloadLeavesHeldNodesOnTheOldTree) {
  DOMDocument d = Load("pugixml", "<a><b>x</b></a>").doc;
  DOMNode b = Root(d)->childNodes().at(0);
  ASSERT_TRUE(d->loadBytes("<c/>"));
  EXPECT_EQ(U8(b->nodeName()), "b");
  EXPECT_EQ(U8(b->childNodes().at(0)->nodeValue()), "x");
  EXPECT_EQ(U8(Root(b->ownerDocument())->nodeName()), "a");
  EXPECT_EQ(U8(Root(d)->nodeName()), "c");
}

}  // namespace
