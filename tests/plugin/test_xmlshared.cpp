// Unit tests: the top element, path walks in both modes, reads, removals and the body count.
#include <gtest/gtest.h>

#include "plugin/XMLShared.h"
#include "plugintest.h"

namespace velarin::plugin {
namespace {

using xml::DocOption;
using xml::doNodeAutoCreate;

using test::Parse;

const char kDoc[] =
    "<?xml version=\"1.0\"?><!-- c --><FictionBook><description><title-info>"
    "<author><first-name>A</first-name><last-name>B</last-name></author>"
    "<author><last-name>C</last-name></author>"
    "<sequence name=\"S\" number=\"1\"/></title-info></description>"
    "<body><p>12345</p><p>1234567</p></body></FictionBook>";

TEST(FindTopElement, MatchesQualifiedNameExactly) {
  IXMLDocument doc = Parse(kDoc);
  ASSERT_TRUE(FindTopElement(doc, u"FictionBook"));
  EXPECT_FALSE(FindTopElement(doc, u"fictionbook"));
  EXPECT_FALSE(FindTopElement(Parse("<book/>"), u"FictionBook"));
}

TEST(FindTopElement, SkipsTheDocumentTypeOfTheSameName) {
  IXMLDocument doc = Parse("<?xml version=\"1.0\"?><!DOCTYPE FictionBook [<!ELEMENT FictionBook ANY>]>"
                           "<?FictionBook x?><FictionBook><body><p>123</p></body></FictionBook>");
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  ASSERT_TRUE(top);
  EXPECT_EQ(top->Kind(), xml::nkElement);
  EXPECT_EQ(CountBodyText(WalkPath(top, "body")), 3);
  EXPECT_FALSE(FindTopElement(Parse("<!DOCTYPE FictionBook><book/>"), u"FictionBook"));
}

TEST(WalkPath, FindModeFindsAndCreatesNothing) {
  IXMLDocument doc = Parse(kDoc);
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  EXPECT_EQ(WalkPath(top, ""), top);
  IXMLNode title = WalkPath(top, "description/title-info");
  ASSERT_TRUE(title);
  EXPECT_EQ(WalkPath(top, "description/title-info/"), title);
  EXPECT_EQ(WalkPath(top, "description/title-info/author/last-name")->TextValue(), u"B");
  EXPECT_EQ(WalkPath(top, "description/title-info/sequence/@name")->TextValue(), u"S");
  EXPECT_FALSE(WalkPath(top, "description/title-info/sequence/@name/x"));
  EXPECT_FALSE(WalkPath(top, "description//title-info"));
  const std::string before = doc->XmlBytes();
  EXPECT_FALSE(WalkPath(top, "description/publish-info/year"));
  EXPECT_EQ(doc->XmlBytes(), before);
}

TEST(WalkPath, CreateModeAppendsWhatIsMissing) {
  IXMLDocument doc = Parse(kDoc);
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  doc->SetOptions(DocOption(doNodeAutoCreate));
  IXMLNode year = WalkPath(top, "description/publish-info/year");
  ASSERT_TRUE(year);
  EXPECT_EQ(year->QualifiedName(), u"year");
  IXMLNode description = WalkPath(top, "description");
  EXPECT_EQ(description->Children()->Last()->QualifiedName(), u"publish-info");
  IXMLNode attr = WalkPath(top, "description/title-info/sequence/@lang");
  ASSERT_TRUE(attr);
  EXPECT_EQ(attr->TextValue(), u"");
}

TEST(ValueAtPath, NeverCreatesAndRestoresOptions) {
  IXMLDocument doc = Parse(kDoc);
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  doc->SetOptions(DocOption(doNodeAutoCreate));
  EXPECT_EQ(ValueAtPath(top, "description/title-info/author/first-name"), "A");
  EXPECT_EQ(ValueAtPath(top, "description/missing/x"), "");
  EXPECT_EQ(doc->Options(), DocOption(doNodeAutoCreate));
  doc->SetOptions(0);
  EXPECT_FALSE(WalkPath(top, "description/missing"));
}

TEST(DeleteAtPath, RemovesOnlyTheNamedNode) {
  IXMLDocument doc = Parse(kDoc);
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  DeleteAtPath(top, "description/title-info/sequence/@name");
  IXMLNode sequence = WalkPath(top, "description/title-info/sequence");
  ASSERT_TRUE(sequence);
  EXPECT_FALSE(WalkPath(sequence, "@name"));
  EXPECT_TRUE(WalkPath(sequence, "@number"));
  DeleteAtPath(top, "description/title-info/author/");
  IXMLNode info = WalkPath(top, "description/title-info");
  EXPECT_EQ(ValueAtPath(info, "author/last-name"), "C") << "only the first author goes";
  DeleteAtPath(top, "");
  DeleteAtPath(top, "description/nothing/here");
  EXPECT_TRUE(WalkPath(top, "description/title-info/author"));
}

TEST(CountBodyText, CountsSingleTextElementsOnly) {
  IXMLDocument doc = Parse(kDoc);
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  EXPECT_EQ(CountBodyText(WalkPath(top, "body")), 12);
  EXPECT_EQ(CountBodyText(nullptr), 0);
  IXMLDocument mixed = Parse("<b><p>123456<emphasis>abc</emphasis>654321</p></b>");
  EXPECT_EQ(CountBodyText(FindTopElement(mixed, u"b")), 3);
}

}  // namespace
}  // namespace velarin::plugin
