// What only the MSXML back-end promises, beyond the DOM conformance suite: the
// component runtime's error classes, and xml:space looked up on the live tree.
#include <gtest/gtest.h>

#include <string>

#include "tests/xml/dom_conformance.h"
#include "tests/xml/dom_helpers.h"
#include "xml/msxmldom.h"
#include "xml/xmldom.h"

using namespace velarin;
using namespace velarin::xml;
using namespace velarin::xml::domtest;

namespace {

DOMDocument Parse(const std::string& bytes) { return domtest::Parse(bytes, "MSXML"); }

TEST(MsxmlDom, FailuresRaiseTheSystemsClasses) {
  auto d = Parse("<a><b/></a>");
  auto a = Root(d);
  // a node that is not a child, and an element that would contain itself
  EXPECT_THROW(a->removeChild(d->createElement(u"y")), EOleException);
  try {
    a->childNodes()[0]->appendChild(a);
    FAIL();
  } catch (const EOleException& e) {
    EXPECT_LT(e.ErrorCode(), 0);
    EXPECT_FALSE(std::string(e.what()).empty());
  }
  if (auto why = KnownDifference("InvalidNamesAreRefused", "MSXML")) GTEST_SKIP() << *why;
  EXPECT_THROW(d->createElement(u"1bad"), EOleException);
}

// xml:space is read from the tree when blank text is looked at, not at the load.
TEST(MsxmlDom, PreservedSpaceFollowsTheTree) {
  // an unknown value leaves the choice to the ancestors
  auto d = Parse("<a xml:space=\"preserve\"><e xml:space=\"other\"> </e></a>");
  EXPECT_EQ(Names(Root(d)->childNodes()[0]->childNodes()), "#text[ ]");
  // an attribute set later counts too
  auto later = Parse("<a><b> </b></a>");
  auto b = Root(later)->childNodes()[0];
  EXPECT_FALSE(b->hasChildNodes());
  auto space = later->createAttribute(u"xml:space");
  space->setNodeValue(u"preserve");
  b->setAttributeNode(space);
  EXPECT_EQ(Names(b->childNodes()), "#text[ ]");
}

}  // namespace
