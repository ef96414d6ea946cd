// Module tests: long templates and long repeated fields cost time in proportion to their
// size, and no write nests a book deeper than parsers read back.
#include <ostream>
#include <string>
#include <vector>

#include "module_host.h"

namespace velarin::moduletest {
namespace {

struct FieldDef {
  std::string name, xpath, templ = {};
};

std::string Settings(const std::vector<FieldDef>& fields) {
  std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<settings><positions>1|2</positions><fields>";
  for (const FieldDef& f : fields) {
    text += "<field><name>" + f.name + "</name><xpath>" + f.xpath + "</xpath>";
    if (!f.templ.empty()) text += "<template>" + f.templ + "</template><div>, </div>";
    text += "</field>";
  }
  return text + "</fields></settings>\n";
}

std::string Steps(const std::string& step, int count) {
  std::string path;
  path.reserve(size_t(count) * (step.size() + 1));
  for (int i = 0; i < count; ++i) path += (i ? "/" : "") + step;
  return path;
}

const char kHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
const char kShortBook[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<FictionBook>\n<description><title-info>"
    "<book-title>T</book-title></title-info></description>\n<body><p>x</p></body>\n</FictionBook>\n";

// 100,000 placeholders over an occurrence of 100,000 children: each placeholder is
// looked up in the same long list, and the template is cut once, not once per placeholder.
TEST(LongTemplate, HundredThousandPlaceholdersOverAWideOccurrence) {
  const int children = 100000, placeholders = 100000;
  std::string templ, expected;
  for (int i = 0; i < placeholders; ++i) {
    const std::string k = std::to_string(i * 7919 % children);
    templ += "[c" + k + "]" + (i % 3 ? "|" : "");
    expected += "v" + k + (i % 3 ? "|" : "");
  }
  templ += "[missing]end";
  expected += "end";
  ModuleHost host(Settings({{"T", "description/item", templ}}).c_str());
  std::string book = std::string(kHead) + "<FictionBook><description><item>";
  for (int i = 0; i < children; ++i) book += "<c" + std::to_string(i) + ">v" + std::to_string(i) + "</c" + std::to_string(i) + ">";
  book += "</item></description></FictionBook>";
  const std::string file = host.Put("wide.fb2", book);
  const Answer a = host.Get(file, 0, 0, int(expected.size()) + 1);
  EXPECT_EQ(a.code, ftString);
  EXPECT_TRUE(a.text == expected) << "answer of " << a.text.size() << " bytes, " << expected.size() << " expected";
}

// A host reading every unit of a long repeated field, and edits of it: each request
// finds its occurrence without scanning the list up to it.
TEST(LongRepeatedField, EveryUnitOfSixtyThousandOccurrences) {
  const int count = 60000;
  ModuleHost host(Settings({{"G", "description/*genre"}, {"S", "description/*seq/@n"}}).c_str());
  std::string book = std::string(kHead) + "<FictionBook><description>";
  for (int i = 0; i < count; ++i)
    book += "<genre>g" + std::to_string(i) + "</genre><seq n=\"" + std::to_string(i) + "\"/>";
  book += "</description></FictionBook>";
  const std::string file = host.Put("many.fb2", book);
  int wrong = 0;
  for (int i = 0; i < count; ++i) {
    const Answer a = host.Get(file, i % 2, i);
    if (a.code != ftString || a.text != (i % 2 ? "" : "g") + std::to_string(i)) ++wrong;
  }
  EXPECT_EQ(wrong, 0);
  EXPECT_EQ(host.Get(file, 0, count).code, ftFieldEmpty);
  EXPECT_EQ(host.Get(file, 1, count).code, ftFieldEmpty);

  // changed, added in front, added past the end: later reads see the new order
  EXPECT_EQ(host.Set(file, 0, 40000, "changed"), ftSetSuccess);
  EXPECT_EQ(host.Set(file, 0, -1, "front"), ftSetSuccess);
  EXPECT_EQ(host.Set(file, 0, count + 10, "back"), ftSetSuccess);
  EXPECT_EQ(host.Set(file, 0, 2, ""), ftSetSuccess);  // removes g1, now unit 2
  host.EndBatch();
  const std::vector<std::pair<int, std::string>> expected = {
      {0, "front"}, {1, "g0"}, {2, "g2"}, {40000, "changed"}, {40001, "g40001"}, {count - 1, "g" + std::to_string(count - 1)},
      {count, "back"}};
  for (const auto& [unit, text] : expected) EXPECT_EQ(host.Text(file, 0, unit), text) << "unit " << unit;
  EXPECT_EQ(host.Get(file, 0, count + 1).code, ftFieldEmpty);
}

struct DepthCase {
  const char* what;
  int head;   // steps before '*', or all of them without one
  int sub;    // steps after the repeated element; -1: no '*'
  bool doctype;  // the book declares an entity, which brings the parser's strict limit
  int answer;
};

void PrintTo(const DepthCase& c, std::ostream* os) { *os << c.what; }

class WriteDepth : public ::testing::TestWithParam<DepthCase> {};

// Writes that stay within the depth parsers read back are written and read back,
// also in a book that declares an entity; deeper ones answer -2 and leave the book
// as it was, and an edit pending before them is still saved.
TEST_P(WriteDepth, DeepestWrittenBookIsReadBack) {
  const DepthCase& c = GetParam();
  const std::string path = c.sub < 0 ? Steps("s", c.head) : Steps("s", c.head) + "/*r/" + Steps("s", c.sub);
  ModuleHost host(Settings({{"Title", "description/title-info/book-title"}, {"Deep", path}}).c_str());
  std::string book = kShortBook;
  if (c.doctype) book.insert(book.find("<FictionBook>"), "<!DOCTYPE FictionBook [<!ENTITY e \"entity\">]>\n");
  const std::string file = host.Put("b.fb2", book);

  EXPECT_EQ(host.Set(file, 0, 0, "Pending"), ftSetSuccess);
  EXPECT_EQ(host.Set(file, 1, 0, "v"), c.answer);
  host.EndBatch();
  if (c.answer == 0) {
    EXPECT_EQ(host.Text(file, 1), "v") << "the book as saved reads back";
  } else {
    const std::string saved = ReadFile(file);
    EXPECT_NE(saved.find(">Pending<"), std::string::npos);
    EXPECT_EQ(saved.find("<s"), std::string::npos) << "nothing of the refused path was written";
    EXPECT_EQ(host.Get(file, 1).code, ftFieldEmpty);
    // alone, a refused write leaves the book's bytes as they were
    const std::string other = host.Put("other.fb2", book);
    EXPECT_EQ(host.Set(other, 1, 0, "v", setFlagLastField), ftFileError);
    host.EndBatch();
    EXPECT_EQ(ReadFile(other), book);
  }
  EXPECT_EQ(host.Text(file, 0), "Pending");
}

INSTANTIATE_TEST_SUITE_P(Paths, WriteDepth,
                         ::testing::Values(DepthCase{"deepest", 255, -1, false, ftSetSuccess},
                                           DepthCase{"deepest_with_entities", 255, -1, true, ftSetSuccess},
                                           DepthCase{"one_too_deep", 256, -1, false, ftFileError},
                                           DepthCase{"one_too_deep_with_entities", 256, -1, true, ftFileError},
                                           DepthCase{"hundred_thousand", 100000, -1, false, ftFileError},
                                           DepthCase{"repeated_deepest", 100, 154, true, ftSetSuccess},
                                           DepthCase{"repeated_one_too_deep", 100, 155, false, ftFileError},
                                           DepthCase{"repeated_hundred_thousand", 50000, 50000, false, ftFileError}),
                         [](const ::testing::TestParamInfo<DepthCase>& info) { return std::string(info.param.what); });

}  // namespace
}  // namespace velarin::moduletest
