// Blank text between elements: kept for saving, hidden from reading, kept right by edits.
#include "tests/xml/xmltest.h"

using namespace xmltest;

namespace {

// What a save writes after one change somewhere: the document serialised again.
std::string Saved(const IXMLDocument& d) { return d->XML().Text(); }

// An indented book with blanks between inline elements.
const char kBook[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\">\n"
    "  <description>\n"
    "    <title-info>\n"
    "      <author><last-name>One</last-name></author>\n"
    "      <book-title>Title</book-title>\n"
    "      <annotation>\n"
    "      </annotation>\n"
    "    </title-info>\n"
    "  </description>\n"
    "  <body>\n"
    "    <p>This <emphasis>emphasized</emphasis> <strong>strong</strong></p>\n"
    "    <p>сети, <emphasis>с</emphasis> \xC3\xA9t\xC3\xA9 <strong>учетом</strong>&#160;<emphasis>x</emphasis></p>\n"
    "  </body>\n"
    "</FictionBook>\n";

std::string Crlf(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

IXMLNode Path(const IXMLDocument& d, std::initializer_list<const char16_t*> names) {
  IXMLNode n = Top(d);
  for (const char16_t* name : names) n = n->Children()->Item(std::u16string(name));
  return n;
}

}  // namespace

TEST(Blanks, ReadersSeeTheTreeWithoutThem) {
  IXMLDocument d = Open(kBook);
  EXPECT_EQ(Top(d)->Children()->NodeCount(), 2);  // description, body
  IXMLNode info = Path(d, {u"description", u"title-info"});
  ASSERT_EQ(info->Children()->NodeCount(), 3);
  EXPECT_EQ(info->Children()->Item(0)->LocalName(), u"author");
  EXPECT_EQ(info->Children()->Item(2)->LocalName(), u"annotation");
  EXPECT_TRUE(info->Children()->Item(1)->IsPlainText());
  IXMLNode annotation = info->Children()->Item(u"annotation");
  EXPECT_FALSE(annotation->HasChildren());
  EXPECT_EQ(annotation->Children()->NodeCount(), 0);
  // mixed content: the blank between two inline elements is not a child
  IXMLNode p = Path(d, {u"body"})->Children()->Item(0);
  ASSERT_EQ(p->Children()->NodeCount(), 3);
  EXPECT_EQ(p->Children()->Item(0)->TextValue(), u"This ");
  EXPECT_EQ(p->Children()->Item(2)->LocalName(), u"strong");
  EXPECT_EQ(Path(d, {u"body"})->Children()->Item(1)->Children()->NodeCount(), 6);
}

TEST(Blanks, AnEditSavesEveryBlankWhereItWas) {
  IXMLDocument d = Open(kBook);
  Path(d, {u"description", u"title-info", u"book-title"})->SetTextValue(u"New");
  std::string expected = Crlf(kBook);
  expected.replace(expected.find(">Title<"), 7, ">New<");
  // the character reference comes back as the character itself, in UTF-8
  expected.replace(expected.find("&#160;"), 6, "\xC2\xA0");
  EXPECT_EQ(Saved(d), expected);
}

TEST(Blanks, XmlSpacePreserveKeepsThemVisible) {
  IXMLDocument d = Open(
      "<r><a xml:space=\"preserve\"> <b/> </a><c xml:space=\"preserve\"><d xml:space=\"default\"> <e/> </d></c></r>");
  EXPECT_EQ(Top(d)->Children()->Item(0)->Children()->NodeCount(), 3);
  EXPECT_EQ(Top(d)->Children()->Item(1)->Children()->Item(0)->Children()->NodeCount(), 1);
}

TEST(Blanks, NewElementsTakeTheirSiblingsIndentation) {
  IXMLDocument d = Open(kBook);
  IXMLNode info = Path(d, {u"description", u"title-info"});
  info->NewChild(u"author", 0)->SetTextValue(u"Zero");  // in front of the others
  info->NewChild(u"lang")->SetTextValue(u"ru");          // at the end
  std::string s = Saved(d);
  // (Wine's MSXML also writes an xmlns declaration on the new elements: not looked at here)
  for (const char* piece : {"<title-info>\r\n      <author", "Zero</author>\r\n      <author><last-name>",
                            "</annotation>\r\n      <lang", "ru</lang>\r\n    </title-info>"})
    EXPECT_NE(s.find(piece), std::string::npos) << piece << "\n" << s;
  EXPECT_EQ(info->Children()->NodeCount(), 5);
}

TEST(Blanks, ARemovedElementTakesTheBlankInFrontAlong) {
  IXMLDocument d = Open(kBook);
  IXMLNode info = Path(d, {u"description", u"title-info"});
  info->Children()->RemoveNamed(u"book-title");
  info->Children()->RemoveNamed(u"author");
  std::string s = Saved(d);
  EXPECT_NE(s.find("<title-info>\r\n      <annotation>\r\n      </annotation>\r\n    </title-info>"), std::string::npos)
      << s;
}

TEST(Blanks, TextReplacesBlankOnlyContent) {
  IXMLDocument d = Open(kBook);
  IXMLNode annotation = Path(d, {u"description", u"title-info", u"annotation"});
  annotation->SetTextValue(u"About");
  EXPECT_EQ(annotation->TextValue(), u"About");
  std::string s = Saved(d);
  EXPECT_NE(s.find("<annotation>About</annotation>"), std::string::npos) << s;
  // and it reads back the same from the saved text
  IXMLDocument again = Open(s);
  EXPECT_EQ(Path(again, {u"description", u"title-info", u"annotation"})->TextValue(), u"About");
}

TEST(Blanks, TextNodesMadeByEditsStayVisibleEvenWhenBlank) {
  IXMLDocument d = Open("<r>\n  <a>x</a>\n</r>");
  IXMLNode a = Top(d)->Children()->Item(0);
  a->SetTextValue(u"  ");
  EXPECT_TRUE(a->IsPlainText());
  EXPECT_EQ(a->TextValue(), u"  ");
}
