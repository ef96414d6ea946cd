// Module tests: every plain book of the real-world corpus against independently computed values.

#include "corpus.h"

#include "tests/win32/wine_skip.h"

namespace velarin::moduletest {
namespace {

// Books on which Wine's MSXML departs from Microsoft's, with the reason.
constexpr const char* kWineAcceptsUndeclaredPrefix =
    "Wine's msxml3 accepts an attribute with an undeclared namespace prefix (l:href without xmlns:l), "
    "which MSXML rejects as a parse error";
class CorpusBook : public ::testing::TestWithParam<std::string> {
 protected:
  static void SetUpTestSuite() { host_ = new ModuleHost(); }
  static void TearDownTestSuite() {
    delete host_;
    host_ = nullptr;
  }
  // Expects an optional string field: null means -3, a string means 8 with that text.
  void ExpectText(const std::string& file, int field, int unit, const JsonValue& expected, const char* what) {
    const Answer a = host_->Get(file, field, unit);
    if (expected.IsNull()) {
      EXPECT_EQ(a.code, ftFieldEmpty) << what << " unit " << unit << ": " << a.text;
    } else {
      EXPECT_EQ(a.code, ftString) << what << " unit " << unit;
      EXPECT_EQ(a.text, Sys(expected.string).substr(0, kBufferSize - 1)) << what << " unit " << unit;
    }
  }
  static ModuleHost* host_;
};
ModuleHost* CorpusBook::host_ = nullptr;

TEST_P(CorpusBook, FieldsMatchTheIndependentValues) {
  if (GetParam() == "fbreaderj__whiteguard.fb2") VELARIN_SKIP_UNDER_WINE(kWineAcceptsUndeclaredPrefix);
  const JsonValue& entry = CorpusExpectations()["files"][GetParam()];
  const std::string file = host_->Copy(Corpus() / GetParam());
  const std::string before = ReadFile(file);
  if (!entry["well_formed"].boolean) {
    EXPECT_EQ(host_->Get(file, fTitle).code, ftFileError);
    EXPECT_EQ(host_->Get(file, fEncoding).code, ftFileError);
    EXPECT_EQ(host_->Get(file, fTextSize).code, ftFileError);
    return;
  }
  // our top element is matched by its qualified name, in any namespace
  const JsonValue& lenient = entry["lenient_local_name_any_namespace"];
  const JsonValue& expected = lenient.IsNull() ? entry["expected"] : lenient;
  EXPECT_EQ(host_->Text(file, fEncoding), entry["declared_encoding"].string);
  if (!expected["root_is_fictionbook"].boolean) {
    EXPECT_EQ(host_->Get(file, fTitle).code, ftFileError);
    return;
  }
  ExpectText(file, fTitle, 0, expected["book-title"], "title");
  ExpectText(file, fLanguage, 0, expected["lang"], "lang");
  ExpectText(file, fSourceLanguage, 0, expected["src-lang"], "src-lang");
  const auto& authors = expected["authors"].array;
  for (size_t i = 0; i < authors.size(); ++i) {
    ExpectText(file, fAuthor, int(i), authors[i]["last-name"], "author last-name");
    ExpectText(file, fAuthorFirst, int(i), authors[i]["first-name"], "author first-name");
    ExpectText(file, fAuthorNick, int(i), authors[i]["nickname"], "author nickname");
  }
  EXPECT_EQ(host_->Get(file, fAuthor, int(authors.size())).code, ftFieldEmpty);
  const auto& genres = expected["genres"].array;
  for (size_t i = 0; i < genres.size(); ++i) ExpectText(file, fGenre, int(i), genres[i], "genre");
  EXPECT_EQ(host_->Get(file, fGenre, int(genres.size())).code, ftFieldEmpty);
  const auto& sequences = expected["sequences"].array;
  for (size_t i = 0; i < sequences.size(); ++i) {
    ExpectText(file, fSeries, int(i), sequences[i]["name"], "sequence name");
    ExpectText(file, fSeriesNumber, int(i), sequences[i]["number"], "sequence number");
  }
  EXPECT_EQ(host_->Get(file, fSeries, int(sequences.size())).code, ftFieldEmpty);
  const JsonValue& publish = expected["publish-info"];
  if (!publish.IsNull()) {
    ExpectText(file, fPublisher, 0, publish["publisher"], "publisher");
    ExpectText(file, fPublishYear, 0, publish["year"], "year");
    ExpectText(file, fIsbn, 0, publish["isbn"], "isbn");
  }
  const JsonValue& document = expected["document-info"];
  if (!document.IsNull()) {
    ExpectText(file, fDocumentId, 0, document["id"], "document id");
    ExpectText(file, fDocumentVersion, 0, document["version"], "document version");
    ExpectText(file, fProgramUsed, 0, document["program-used"], "program-used");
  }
  const Answer size = host_->Get(file, fTextSize);
  EXPECT_EQ(size.code, ftNumeric32);
  const JsonValue& count = expected["body_text_count"];
  const int expectedCount = count.IsNull() ? 0 : int(count.number);
  EXPECT_EQ(size.number, expectedCount) << "body text count";
  host_->EndBatch();
  EXPECT_EQ(ReadFile(file), before) << "reading never writes";
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusBook, ::testing::ValuesIn(CorpusBooks("plain")), [](const auto& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusBook);

// Without the corpus the book cases above do not exist: this says so in the run.
TEST(RealBooks, AreBesideTheProject) {
  if (!CorpusPresent()) GTEST_SKIP() << CorpusAbsentMessage();
  EXPECT_GE(CorpusBooks("plain").size() + CorpusBooks("zip").size(), 36u);
}

// Writing every writable default field of a real book, then reading it back.
TEST(CorpusWrite, EditedRealBookKeepsEverythingElse) {
  if (!CorpusPresent()) GTEST_SKIP() << CorpusAbsentMessage();
  ModuleHost host;
  const std::string file = host.Copy(Corpus() / "textviewng__demo.fb2");
  const int sizeBefore = host.Get(file, fTextSize).number;
  const std::string authorsBefore = host.Text(file, fAuthors);
  ASSERT_EQ(host.Set(file, fTitle, 0, Sys("Война и мир (правка)")), ftSetSuccess);
  ASSERT_EQ(host.Set(file, fSeries, -1, Sys("Новая серия")), ftSetSuccess);
  ASSERT_EQ(host.Set(file, fPublishYear, 0, "2030", setFlagLastField), ftSetSuccess);
  host.EndBatch();
  EXPECT_EQ(host.Text(file, fTitle), Sys("Война и мир (правка)"));
  EXPECT_EQ(host.Text(file, fSeries, 0), Sys("Новая серия"));
  EXPECT_EQ(host.Text(file, fPublishYear), "2030");
  EXPECT_EQ(host.Text(file, fAuthors), authorsBefore);
  EXPECT_EQ(host.Get(file, fTextSize).number, sizeBefore);
}

}  // namespace
}  // namespace velarin::moduletest
