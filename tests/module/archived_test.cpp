// Module tests: books inside .zip and .fbz archives, read through the five exports like plain books.
#include <cstdlib>

#include "archive_fixtures.h"
#include "corpus.h"
#include "fixtures.h"
#include "module_host.h"

namespace velarin::moduletest {
namespace {

std::string Zip(const std::vector<ziptest::Entry>& entries) { return ziptest::Build(entries); }

// Every default field, units -1 to 3, as the host would ask for them.
std::vector<Answer> AllFields(ModuleHost& host, const std::string& file) {
  std::vector<Answer> answers;
  for (int field = 0; field < kDefaultFieldCount; ++field)
    for (int unit = -1; unit <= 3; ++unit) answers.push_back(host.Get(file, field, unit));
  return answers;
}

// --- every default field of the sample books, archived in each way, equals the plain reading ---

struct Packing {
  const char* label;
  const char* suffix;      // archive name: sample name + suffix
  const char* entryPrefix; // folder part of the stored name
  uint16_t method;
};

class ArchivedSample : public ::testing::TestWithParam<std::tuple<std::string, Packing>> {};

TEST_P(ArchivedSample, EveryDefaultFieldAsInThePlainBook) {
  const auto& [sample, packing] = GetParam();
  ModuleHost host;
  const std::string plain = host.Copy(Samples() / sample);
  const std::string text = ReadFile(plain);
  const std::string archive =
      host.Put(sample + packing.suffix, Zip({Item(packing.entryPrefix + sample, text, packing.method)}));
  const std::vector<Answer> expected = AllFields(host, plain);
  const std::vector<Answer> got = AllFields(host, archive);
  ASSERT_EQ(got.size(), expected.size());
  int strings = 0;
  for (size_t i = 0; i < got.size(); ++i) {
    const int field = int(i / 5), unit = int(i % 5) - 1;
    EXPECT_EQ(got[i].code, expected[i].code) << "field " << field << " unit " << unit;
    EXPECT_EQ(got[i].text, expected[i].text) << "field " << field << " unit " << unit;
    EXPECT_EQ(got[i].number, expected[i].number) << "field " << field << " unit " << unit;
    EXPECT_TRUE(got[i].tailZero) << "field " << field << " unit " << unit;
    strings += got[i].code == ftString && !got[i].text.empty();
  }
  EXPECT_GT(strings, 2) << "the book's fields were read, not just answered alike";
  EXPECT_EQ(host.Get(archive, fTextSize).code, ftNumeric32);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, ArchivedSample,
    ::testing::Combine(::testing::Values("minimal.fb2", "osenniy-sad-cp1251.fb2", "two-authors-utf8.fb2"),
                       ::testing::Values(Packing{"zip_deflated", ".zip", "", 8},
                                         Packing{"fbz_stored", ".fbz", "", 0},
                                         Packing{"upper_case_name", ".ZIP", "", 8},
                                         Packing{"mixed_case_fbz", ".Fbz", "", 8},
                                         Packing{"in_a_folder", ".zip", "books/2024/", 8})),
    [](const auto& info) {
      std::string name = std::get<0>(info.param) + "_" + std::get<1>(info.param).label;
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// --- which entry is the book, and what an archive without one answers ---

class ArchivedBook : public ::testing::Test {
 protected:
  ModuleHost host_{kTestSettings};
};

TEST_F(ArchivedBook, FirstBookTheSearchReportsWins) {
  const std::string file = host_.Put(
      "two.zip", Zip({Item("readme.txt", "not a book"), Item("first.fb2", Retitled("First")),
                      Item("second.fb2", Retitled("Second"))}));
  EXPECT_EQ(host_.Text(file, tTitle), "First");
  // the other order in the directory: the other book
  const std::string other =
      host_.Put("two-other.zip", Zip({Item("second.fb2", Retitled("Second")), Item("first.fb2", Retitled("First"))}));
  EXPECT_EQ(host_.Text(other, tTitle), "Second");
}

TEST_F(ArchivedBook, NoBookAnswersFileErrorThenAPlainBookReads) {
  const std::string file =
      host_.Put("none.zip", Zip({Item("notes.txt", kBook), Item("book.fb2.bak", kBook), Item("fb2/", "", 0)}));
  const std::string plain = host_.Put("book.fb2", Retitled("Plain"));
  for (int field : {tTitle, tAuthors, tSize, tEncoding}) {
    const Answer a = host_.Get(file, field);
    EXPECT_EQ(a.code, ftFileError) << "field " << field;
    EXPECT_TRUE(a.tailZero);
  }
  EXPECT_EQ(host_.Text(plain, tTitle), "Plain");
  EXPECT_EQ(host_.Get(plain, tSize).number, kBookBodyCount);
  // and the archive again, after the plain book: still no book
  EXPECT_EQ(host_.Get(file, tTitle).code, ftFileError);
}

TEST_F(ArchivedBook, BookInFoldersReadUnderItsFullStoredName) {
  // a name in the root that only looks alike must not be taken instead
  ziptest::Entry utf8 = Item("книги/том 1/книга.fb2", Retitled("In a folder"));
  utf8.flags = 0x800;  // the name bytes are UTF-8
  const std::string file = host_.Put("folders.zip", Zip({Item("docs/", "", 0), utf8}));
  EXPECT_EQ(host_.Text(file, tTitle), "In a folder");
  EXPECT_EQ(host_.Text(file, tAuthors), host_.Text(host_.Put("twin.fb2", kBook), tAuthors));
  EXPECT_EQ(host_.Get(file, tSize).number, kBookBodyCount);
}

TEST_F(ArchivedBook, EncodingFirstOnAFreshlyLoadedArchive) {
  std::string cp1251 = ReadFile(Samples() / "osenniy-sad-cp1251.fb2");
  const std::string file = host_.Put("cp1251.fbz", Zip({Item("osenniy.fb2", cp1251)}));
  const std::string undeclared = std::string(kBook).substr(std::string(kBook).find('\n') + 1);
  const std::string none = host_.Put("nodecl.zip", Zip({Item("b.fb2", undeclared)}));
  ModuleHost fresh(kTestSettings);
  const std::string copy = fresh.Copy(file);
  EXPECT_EQ(fresh.Text(copy, tEncoding), "windows-1251");
  EXPECT_EQ(fresh.Text(copy, tEncoding), "windows-1251") << "and again from the cached document";
  EXPECT_EQ(fresh.Text(fresh.Copy(none), tEncoding), "");
  EXPECT_EQ(fresh.Text(copy, tEncoding), "windows-1251");
}

TEST_F(ArchivedBook, TextSizeOfABookWithoutBodyFailsForArchives) {
  std::string noBody = Retitled("No body");
  noBody.erase(noBody.find("<body>"), noBody.find("</body>") + 7 - noBody.find("<body>"));
  const std::string file = host_.Put("nobody.zip", Zip({Item("nobody.fb2", noBody)}));
  const std::string plain = host_.Put("nobody.fb2", noBody);
  EXPECT_EQ(host_.Text(file, tTitle), "No body");
  // the count looks for the body in the file itself, which is no book for an archive
  const Answer size = host_.Get(file, tSize);
  EXPECT_EQ(size.code, ftFileError);
  EXPECT_TRUE(size.tailZero);
  // the document was dropped: the next request loads the archive again
  EXPECT_EQ(host_.Text(file, tTitle), "No body");
  // the same book as a plain file counts its own (absent) body: 0
  const Answer plainSize = host_.Get(plain, tSize);
  EXPECT_EQ(plainSize.code, ftNumeric32);
  EXPECT_EQ(plainSize.number, 0);
}

TEST_F(ArchivedBook, BrokenBookOrArchiveAnswersFileError) {
  ziptest::Entry badCrc = Item("book.fb2", kBook);
  badCrc.declaredCrc = 0x12345678;
  ziptest::Entry deflate64 = Item("book.fb2", kBook);
  deflate64.method = 9;
  deflate64.payload = "xx";
  const std::string notXml = host_.Put("notxml.zip", Zip({Item("book.fb2", "plain text, no XML")}));
  for (const std::string& file : {host_.Put("crc.zip", Zip({badCrc})), host_.Put("d64.zip", Zip({deflate64})),
                                  host_.Put("cut.zip", Zip({Item("book.fb2", kBook)}).substr(0, 60)), notXml}) {
    EXPECT_EQ(host_.Get(file, tTitle).code, ftFileError) << file;
    EXPECT_EQ(host_.Get(file, tEncoding).code, ftFileError) << file;
  }
  // a plain book called .zip is no archive either
  EXPECT_EQ(host_.Get(host_.Put("plain.zip", kBook), tTitle).code, ftFileError);
}

// An archive made by the zip tool, where it is installed: a book in a folder and an upper-case name.
TEST(ArchivedByTool, ZipToolArchive) {
  ModuleHost host;
  if (std::system("zip -v > /dev/null 2>&1") != 0) GTEST_SKIP() << "no zip tool";
  const fs::path folder = host.Dir() / "src";
  fs::create_directories(folder / "lib");
  fs::copy_file(Samples() / "two-authors-utf8.fb2", folder / "lib" / "two.fb2");
  const std::string archive = (host.Dir() / "BOOK.ZIP").string();
  const std::string command = "cd \"" + folder.string() + "\" && zip -q -r \"" + archive + "\" lib";
  ASSERT_EQ(std::system(command.c_str()), 0);
  const std::string plain = host.Copy(Samples() / "two-authors-utf8.fb2");
  const std::vector<Answer> expected = AllFields(host, plain);
  const std::vector<Answer> got = AllFields(host, archive);
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].code, expected[i].code) << "field " << i / 5 << " unit " << int(i % 5) - 1;
    EXPECT_EQ(got[i].text, expected[i].text) << "field " << i / 5 << " unit " << int(i % 5) - 1;
  }
}

// --- the corpus's archived books against the independently computed values ---

// Windows hosts get ANSI text: an expected text outside ASCII is compared on Linux only
// (the plain twins of these books, read in the same run, cover the rest there).
bool Comparable(const std::string& text) {
#ifdef _WIN32
  for (unsigned char c : text)
    if (c >= 0x80) return false;
#endif
  (void)text;
  return true;
}

// One expected answer: a string (code 8) or null (code -3).
struct Expected {
  int field;
  int unit;
  const JsonValue* value;
  std::string what;
};

std::vector<Expected> ExpectedAnswers(const JsonValue& e) {
  std::vector<Expected> out{{fTitle, 0, &e["book-title"], "title"},
                            {fLanguage, 0, &e["lang"], "lang"},
                            {fSourceLanguage, 0, &e["src-lang"], "src-lang"}};
  const auto& authors = e["authors"].array;
  for (size_t i = 0; i < authors.size(); ++i) {
    out.push_back({fAuthor, int(i), &authors[i]["last-name"], "author last-name"});
    out.push_back({fAuthorFirst, int(i), &authors[i]["first-name"], "author first-name"});
    out.push_back({fAuthorMiddle, int(i), &authors[i]["middle-name"], "author middle-name"});
    out.push_back({fAuthorNick, int(i), &authors[i]["nickname"], "author nickname"});
  }
  const auto& genres = e["genres"].array;
  for (size_t i = 0; i < genres.size(); ++i) out.push_back({fGenre, int(i), &genres[i], "genre"});
  const auto& sequences = e["sequences"].array;
  for (size_t i = 0; i < sequences.size(); ++i) {
    out.push_back({fSeries, int(i), &sequences[i]["name"], "sequence name"});
    out.push_back({fSeriesNumber, int(i), &sequences[i]["number"], "sequence number"});
  }
  if (const JsonValue& p = e["publish-info"]; !p.IsNull()) {
    out.push_back({fPublisher, 0, &p["publisher"], "publisher"});
    out.push_back({fPublishYear, 0, &p["year"], "year"});
    out.push_back({fIsbn, 0, &p["isbn"], "isbn"});
  }
  if (const JsonValue& d = e["document-info"]; !d.IsNull()) {
    out.push_back({fDocumentId, 0, &d["id"], "document id"});
    out.push_back({fDocumentVersion, 0, &d["version"], "document version"});
    out.push_back({fProgramUsed, 0, &d["program-used"], "program-used"});
  }
  return out;
}

class ArchivedCorpusBook : public ::testing::TestWithParam<std::string> {};

TEST_P(ArchivedCorpusBook, FieldsMatchTheIndependentValues) {
  const JsonValue& entry = CorpusExpectations()["files"][GetParam()];
  ModuleHost host;
  const std::string file = host.Copy(Corpus() / GetParam());
  const std::string before = ReadFile(file);
  ASSERT_TRUE(entry["well_formed"].boolean) << "every archived corpus book is well formed";
  const JsonValue& lenient = entry["lenient_local_name_any_namespace"];
  const JsonValue& expected = lenient.IsNull() ? entry["expected"] : lenient;
  ASSERT_TRUE(expected["root_is_fictionbook"].boolean);
  // first request on the fresh archive: the encoding
  EXPECT_EQ(host.Text(file, fEncoding), entry["declared_encoding"].string);
  for (const Expected& x : ExpectedAnswers(expected)) {
    const Answer a = host.Get(file, x.field, x.unit);
    if (x.value->IsNull()) {
      EXPECT_EQ(a.code, ftFieldEmpty) << x.what << " unit " << x.unit << ": " << a.text;
    } else {
      EXPECT_EQ(a.code, ftString) << x.what << " unit " << x.unit;
      if (Comparable(x.value->string)) {
        EXPECT_EQ(a.text, x.value->string.substr(0, kBufferSize - 1)) << x.what << " unit " << x.unit;
      }
    }
  }
  EXPECT_EQ(host.Get(file, fAuthor, int(expected["authors"].array.size())).code, ftFieldEmpty);
  EXPECT_EQ(host.Get(file, fGenre, int(expected["genres"].array.size())).code, ftFieldEmpty);
  EXPECT_EQ(host.Get(file, fSeries, int(expected["sequences"].array.size())).code, ftFieldEmpty);
  const Answer size = host.Get(file, fTextSize);
  const JsonValue& count = expected["body_text_count"];
  if (count.IsNull() || expected["body_count"].number == 0) {
    EXPECT_EQ(size.code, ftFileError) << "no body in the book: the file itself is no book";
  } else {
    EXPECT_EQ(size.code, ftNumeric32);
    EXPECT_EQ(size.number, int(count.number)) << "body text count";
  }
  // where the corpus holds the same book plain, every default field reads alike
  std::string twin = GetParam().substr(0, GetParam().rfind('.'));
  if (twin.size() < 4 || twin.compare(twin.size() - 4, 4, ".fb2") != 0) twin += ".fb2";
  if (fs::exists(Corpus() / twin)) {
    const std::vector<Answer> plain = AllFields(host, host.Copy(Corpus() / twin));
    const std::vector<Answer> archived = AllFields(host, file);
    for (size_t i = 0; i < plain.size(); ++i) {
      EXPECT_EQ(archived[i].code, plain[i].code) << twin << " field " << i / 5 << " unit " << int(i % 5) - 1;
      EXPECT_EQ(archived[i].text, plain[i].text) << twin << " field " << i / 5 << " unit " << int(i % 5) - 1;
    }
  }
  host.EndBatch();
  EXPECT_EQ(ReadFile(file), before) << "reading never writes";
}

INSTANTIATE_TEST_SUITE_P(Corpus, ArchivedCorpusBook, ::testing::ValuesIn(CorpusBooks("zip")), [](const auto& info) {
  std::string name = info.param;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
});
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ArchivedCorpusBook);

}  // namespace
}  // namespace velarin::moduletest
