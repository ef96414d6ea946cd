// Module tests: path, repeated and template fields read through ContentGetValue.
#include "fixtures.h"
#include "module_host.h"

namespace velarin::moduletest {
namespace {

struct ReadCase {
  const char* label;
  int field;
  int unit;
  int code;
  const char* text;
};

class Reads : public ::testing::TestWithParam<ReadCase> {
 protected:
  static void SetUpTestSuite() {
    host_ = new ModuleHost(kTestSettings);
    book_ = host_->Put("book.fb2", kBook);
  }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  static ModuleHost* host_;
  static std::string book_;
};
ModuleHost* Reads::host_ = nullptr;
std::string Reads::book_;

TEST_P(Reads, AnswerCodeAndValue) {
  const ReadCase& c = GetParam();
  const Answer a = host_->Get(book_, c.field, c.unit);
  EXPECT_EQ(a.code, c.code);
  if (c.code == ftString) {
    EXPECT_EQ(a.text, Sys(c.text));
  }
  EXPECT_TRUE(a.tailZero);
}

INSTANTIATE_TEST_SUITE_P(
    Module, Reads,
    ::testing::Values(
        ReadCase{"title", tTitle, 0, 8, "Ледяной маяк"},
        ReadCase{"title_unit_ignored", tTitle, 7, 8, "Ледяной маяк"},
        ReadCase{"trailing_slash", tTrailing, 0, 8, "Ледяной маяк"},
        ReadCase{"author0", tAuthor, 0, 8, "Berg"},
        ReadCase{"author1", tAuthor, 1, 8, "Сом"},
        ReadCase{"author_negative_is_first", tAuthor, -5, 8, "Berg"},
        ReadCase{"author_past_last", tAuthor, 2, -3, ""},
        ReadCase{"middle_missing_in_second", tMiddle, 1, -3, ""},
        ReadCase{"middle_first", tMiddle, 0, 8, "M"},
        ReadCase{"occurrence_itself", tGenre, 1, 8, "humor"},
        ReadCase{"series_attribute", tSeries, 1, 8, "Cycle"},
        ReadCase{"first_series_attribute", tFirstSeries, 0, 8, "Saga"},
        ReadCase{"attribute_step_in_middle", tAttrMiddle, 0, -3, ""},
        ReadCase{"missing_element", tMissing, 0, -3, ""},
        ReadCase{"odd_special_reads_as_path", tOddSpecial, 1, 8, "Сом"},
        ReadCase{"template_with_div", tAuthors, 0, 8, "Anna Berg, Олег Сом"},
        ReadCase{"template_without_div", tGenres, 0, 8, "sfhumor"},
        ReadCase{"template_literal_after_last", tDotted, 0, 8, "Anna Berg.Олег Сом."},
        ReadCase{"template_unclosed", tUnclosed, 0, 8, "<Anna|<Олег"},
        ReadCase{"template_missing_placeholder", tLiteral, 0, 8, "by  Berg!; by  Сом!"},
        ReadCase{"element_with_children", tAnnotationNode, 0, -2, ""},
        ReadCase{"top_element", tTop, 0, -2, ""},
        ReadCase{"after_failure_reloads", tTitle, 0, 8, "Ледяной маяк"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(ReadsMore, EmptyElementAndEmptyAttributeGiveEmptyStrings) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("e.fb2", R"(<FictionBook><description><title-info><book-title/>
    <sequence name=""/><author><first-name></first-name><last-name>X</last-name></author>
    <author><last-name>Y</last-name></author></title-info></description></FictionBook>)");
  Answer a = host.Get(book, tTitle);
  EXPECT_EQ(a.code, ftString);
  EXPECT_EQ(a.text, "");
  a = host.Get(book, tSeries, 0);
  EXPECT_EQ(a.code, ftString);
  EXPECT_EQ(a.text, "");
  // an occurrence that renders empty gets no separator before the next one
  EXPECT_EQ(host.Text(book, tLiteral), "by  X!; by  Y!");
  EXPECT_EQ(host.Text(book, tAuthors), " X,  Y");
}

TEST(ReadsMore, FirstRenderEmptyPlacesNoSeparator) {
  ModuleHost host(R"(<settings><fields><f><name>G</name><xpath>description/title-info/genre</xpath>
    <template>[]</template><div>, </div></f></fields></settings>)");
  const std::string book = host.Put("g.fb2", R"(<FictionBook><description><title-info><genre/><genre>a</genre>
    <genre>b</genre></title-info></description></FictionBook>)");
  EXPECT_EQ(host.Text(book, 0), "a, b");
}

TEST(ReadsMore, TemplateWithoutParentOrOccurrencesIsEmptyString) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("n.fb2", "<FictionBook><description/></FictionBook>");
  const Answer a = host.Get(book, tAuthors);
  EXPECT_EQ(a.code, ftString);
  EXPECT_EQ(a.text, "");
  EXPECT_EQ(host.Get(book, tAuthor).code, ftFieldEmpty) << "a repeated field whose parent is missing";
}

TEST(ReadsMore, NameMatchingIsCaseSensitive) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("c.fb2", R"(<FictionBook><description><title-info>
    <Book-Title>x</Book-Title></title-info></description></FictionBook>)");
  EXPECT_EQ(host.Get(book, tTitle).code, ftFieldEmpty);
  const std::string lower = host.Put("l.fb2", "<fictionbook><description/></fictionbook>");
  EXPECT_EQ(host.Get(lower, tTitle).code, ftFileError) << "no FictionBook top element";
}

TEST(ReadsMore, ReadsNeverChangeTheBook) {
  ModuleHost host;
  const std::string book = host.Copy(Samples() / "two-authors-utf8.fb2");
  const std::string before = ReadFile(book);
  for (int f = 0; f < kDefaultFieldCount; ++f)
    for (int u = -1; u < 4; ++u) host.Get(book, f, u);
  host.EndBatch();
  host.Unload();
  EXPECT_EQ(ReadFile(book), before);
}

TEST(ReadsMore, LongValueIsCutToTheBuffer) {
  ModuleHost host(kTestSettings);
  const std::string title(5000, 'a');
  const std::string book = host.Put("long.fb2", "<FictionBook><description><title-info><book-title>" + title +
                                                    "</book-title></title-info></description></FictionBook>");
  const Answer a = host.Get(book, tTitle);
  EXPECT_EQ(a.code, ftString);
  EXPECT_EQ(a.text, std::string(kBufferSize - 1, 'a'));
}

// The document type node carries the top element's name; it is not the top element.
TEST(ReadsMore, BookWithADocumentTypeReadsItsFields) {
  ModuleHost host(kTestSettings);
  std::string text = kBook;
  const size_t afterDeclaration = text.find("?>") + 2;
  int n = 0;
  for (const char* doctype : {"<!DOCTYPE FictionBook>", "<!DOCTYPE FictionBook SYSTEM \"fictionbook.dtd\">",
                              "<!DOCTYPE FictionBook [<!ELEMENT FictionBook ANY>]>"}) {
    SCOPED_TRACE(doctype);
    const std::string book = host.Put("d" + std::to_string(++n) + ".fb2", std::string(text).insert(afterDeclaration, std::string("\n") + doctype));
    EXPECT_EQ(host.Text(book, tTitle), Sys("Ледяной маяк"));
    EXPECT_EQ(host.Text(book, tAuthors), Sys("Anna Berg, Олег Сом"));
    EXPECT_EQ(host.Get(book, tSize).number, kBookBodyCount);
    EXPECT_EQ(host.Set(book, tAuthor, -1, "New", setFlagLastField), ftSetSuccess);
    host.EndBatch();
    EXPECT_EQ(host.Text(book, tAuthor, 0), "New");
    EXPECT_NE(ReadFile(book).find("<!DOCTYPE FictionBook"), std::string::npos);
  }
}

}  // namespace
}  // namespace velarin::moduletest
