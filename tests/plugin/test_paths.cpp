// Unit tests: look-ups by name in short and long node lists, before and after edits, and path steps.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "plugin/XMLShared.h"
#include "plugintest.h"

namespace velarin::plugin {
namespace {

using xml::IXMLNodeList;

using test::Parse;

// Children of the top element: `copies` rounds of a mix of names, a prefixed element,
// one in another namespace and mixed text, so a list of 6 * copies + 1 items.
std::string Book(int copies) {
  std::string text =
      "<FictionBook xmlns=\"urn:fb\" xmlns:l=\"urn:l\" xmlns:fb=\"urn:fb\">";
  for (int i = 0; i < copies; ++i) {
    const std::string n = std::to_string(i);
    text += "<a>a" + n + "</a><b>b" + n + "</b><l:a>la" + n + "</l:a><o xmlns=\"urn:other\">o" + n +
            "</o><fb:b>fbb" + n + "</fb:b>t" + n;
  }
  return text + "<z/></FictionBook>";
}

// What the look-ups must answer, found the slow way over the items.
int FirstByName(const IXMLNodeList& list, const std::u16string& name, bool anyNamespace) {
  for (int i = 0; i < list->NodeCount(); ++i) {
    IXMLNode n = list->Item(i);
    if (!anyNamespace && n->NamespaceURI() != u"urn:fb") continue;
    if (n->QualifiedName() == name || n->LocalName() == name) return i;
  }
  return -1;
}
std::vector<int> Occurrences(const IXMLNodeList& list, const std::u16string& qname) {
  std::vector<int> at;
  for (int i = 0; i < list->NodeCount(); ++i)
    if (list->Item(i)->QualifiedName() == qname) at.push_back(i);
  return at;
}

const std::u16string kNames[] = {u"a", u"b", u"l:a", u"fb:b", u"o", u"z", u"missing", u"#text", u""};

// Every look-up, asked three times (a scan, then the index) in the list as it is now.
void ExpectLookupsAgree(const IXMLNodeList& list, const std::string& when) {
  for (int round = 0; round < 3; ++round)
    for (const std::u16string& name : kNames) {
      SCOPED_TRACE(when + ", round " + std::to_string(round) + ", name \"" +
                   std::string(name.begin(), name.end()) + "\"");
      const int first = FirstByName(list, name, false);
      EXPECT_EQ(list->IndexOf(name), first);
      EXPECT_EQ(list->Lookup(name), first < 0 ? nullptr : list->Item(first));
      EXPECT_EQ(list->IndexOf(name, u""), FirstByName(list, name, true));
      const std::vector<int> at = Occurrences(list, name);
      EXPECT_EQ(list->CountNamed(name), int(at.size()));
      for (int k : {0, 1, int(at.size()) - 1, int(at.size())})
        EXPECT_EQ(list->IndexOfNamed(name, k), k >= 0 && k < int(at.size()) ? at[size_t(k)] : -1);
      EXPECT_EQ(list->IndexOfNamed(name, -1), -1);
    }
}

class NameLookups : public ::testing::TestWithParam<int> {};

// Short lists are scanned, long ones indexed: both answer as the scan over the items,
// and edits in between never leave a stale answer.
TEST_P(NameLookups, AgreeWithAScanAcrossEdits) {
  IXMLDocument doc = Parse(Book(GetParam()));
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  IXMLNodeList list = top->Children();
  ExpectLookupsAgree(list, "as parsed");

  doc->SetOptions(xml::DocOption(xml::doNodeAutoCreate));
  top->NewChild(u"a", 0);
  ExpectLookupsAgree(list, "after a new first a");
  if (list->IndexOf(u"b") >= 0) list->RemoveAt(list->IndexOf(u"b"));
  ExpectLookupsAgree(list, "after the first b went");
  list->Item(u"missing");  // created at the end
  ExpectLookupsAgree(list, "after a created child");
  list->RemoveNamed(u"a");
  list->RemoveNamed(u"a");
  ExpectLookupsAgree(list, "after two removals by name");
}

INSTANTIATE_TEST_SUITE_P(Sizes, NameLookups, ::testing::Values(0, 1, 2, 3, 50));

TEST(NameLookups, AttributesOfALongElement) {
  std::string text = "<FictionBook xmlns:l=\"urn:l\"><e";
  for (int i = 0; i < 40; ++i) text += " x" + std::to_string(i) + "=\"" + std::to_string(i) + "\"";
  text += " l:href=\"h\"/></FictionBook>";
  IXMLDocument doc = Parse(text);
  IXMLNode e = WalkPath(FindTopElement(doc, u"FictionBook"), "e");
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(ValueAtPath(e, "@x39"), "39");
    EXPECT_EQ(ValueAtPath(e, "@href"), "h");
    EXPECT_EQ(ValueAtPath(e, "@l:href"), "h");
    EXPECT_EQ(ValueAtPath(e, "@x40"), "");
  }
  e->SetAttribute(u"x7", u"seven");  // replaces the old item in the list
  EXPECT_EQ(ValueAtPath(e, "@x7"), "seven");
  EXPECT_EQ(e->Attrs()->CountNamed(u"x7"), 1);
}

struct StepsCase {
  const char* path;
  int steps;
};

class Steps : public ::testing::TestWithParam<StepsCase> {};

TEST_P(Steps, CountsTheNonEmptySteps) { EXPECT_EQ(PathSteps(GetParam().path), GetParam().steps); }

INSTANTIATE_TEST_SUITE_P(Paths, Steps,
                         ::testing::Values(StepsCase{"", 0}, StepsCase{"/", 0}, StepsCase{"a", 1},
                                           StepsCase{"a/", 1}, StepsCase{"a//b", 2},
                                           StepsCase{"description/title-info/book-title", 3},
                                           StepsCase{"description/title-info/sequence/@name", 4},
                                           StepsCase{"a/@b/c", 3}, StepsCase{"//x//", 1}));

}  // namespace
}  // namespace velarin::plugin
