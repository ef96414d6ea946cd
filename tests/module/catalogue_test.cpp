// Module tests: detect string, field catalogue, flags, buffer rules and the export table.
#include <array>
#include <cstdio>
#include <set>
#include <sstream>

#include "fixtures.h"
#include "module_host.h"

namespace velarin::moduletest {
namespace {

TEST(Catalogue, DetectStringIsCopiedAndCut) {
  ModuleHost host;
  char buffer[64];
  std::memset(buffer, 'x', sizeof buffer);
  host.Module().GetDetectString(buffer, sizeof buffer);
  EXPECT_STREQ(buffer, "ext=\"FB2\"|ext=\"ZIP\"");
  std::memset(buffer, 'x', sizeof buffer);
  host.Module().GetDetectString(buffer, 5);
  EXPECT_STREQ(buffer, "ext=");
  EXPECT_EQ(buffer[5], 'x');
  host.Module().GetDetectString(buffer, 0);  // writes nothing, must not crash
  EXPECT_EQ(buffer[0], 'e');
}

TEST(Catalogue, DefaultSettingsOfferTheShippedFieldsInOrder) {
  ModuleHost host;
  const std::array<const char*, kDefaultFieldCount> names = {
      "Title", "Author", "Author first name", "Author middle name", "Author nickname", "Authors", "Genre",
      "Genres", "Series", "Series number", "Language", "Source language", "Date", "Keywords", "Annotation",
      "Translator", "Translators", "Publisher", "Publisher city", "Publish year", "ISBN", "Publisher's title",
      "Document ID", "Document version", "Document date", "Program used", "Document author", "Text size",
      "Encoding"};
  const std::set<int> repeated = {fAuthor, fAuthorFirst, fAuthorMiddle, fAuthorNick, fGenre, fSeries,
                                  fSeriesNumber, fTranslator, fDocumentAuthor};
  for (int i = 0; i < kDefaultFieldCount; ++i) {
    std::string name, units;
    ASSERT_EQ(host.Field(i, name, units), ftString) << i;
    EXPECT_EQ(name, names[size_t(i)]);
    EXPECT_EQ(units, repeated.count(i) ? "1|2|3|4|5|6|7|8|9|10" : "") << name;
    for (char c : std::string(".|:{}]")) EXPECT_EQ(name.find(c), std::string::npos) << name;
    EXPECT_EQ(host.Module().GetSupportedFieldFlags(i), fieldFlagEditable);
  }
  std::string name, units;
  EXPECT_EQ(host.Field(kDefaultFieldCount, name, units), ftNoMoreFields);
  EXPECT_EQ(host.Field(-1, name, units), ftNoMoreFields);
  EXPECT_EQ(host.Module().GetSupportedFieldFlags(kDefaultFieldCount + 5), fieldFlagEditable);
}

TEST(Catalogue, UnitsFollowStarAndSpecial) {
  ModuleHost host(kTestSettings);
  std::string name, units;
  ASSERT_EQ(host.Field(tAuthor, name, units), ftString);
  EXPECT_EQ(units, "1|2|3");
  ASSERT_EQ(host.Field(tOddSpecial, name, units), ftString);
  EXPECT_EQ(name, "OddSpecial");
  EXPECT_EQ(units, "") << "a special field has no units even with '*'";
  ASSERT_EQ(host.Field(tAuthors, name, units), ftString);
  EXPECT_EQ(units, "");
  EXPECT_EQ(host.Field(kTestFieldCount - 1, name, units), ftString);
  EXPECT_EQ(host.Field(kTestFieldCount, name, units), ftNoMoreFields);
}

TEST(Catalogue, NameBufferIsCutAtItsSizeAndNeverOverrun) {
  ModuleHost host(kTestSettings);
  std::string name, units;
  // "Encoding" has 8 bytes: a size of 9 holds it whole, 8 cuts one byte
  ASSERT_EQ(host.Field(tEncoding, name, units, 9), ftString);
  EXPECT_EQ(name, "Encoding");
  ASSERT_EQ(host.Field(tEncoding, name, units, 8), ftString);
  EXPECT_EQ(name, "Encodin");
  ASSERT_EQ(host.Field(tAuthor, name, units, 4), ftString);
  EXPECT_EQ(units, "1|2");
  char n[4] = {'a', 'a', 'a', 'a'}, u[4] = {'b', 'b', 'b', 'b'};
  EXPECT_EQ(host.Module().GetSupportedField(tAuthor, n, u, 0), ftString);
  EXPECT_EQ(n[0], 'a');
  EXPECT_EQ(u[0], 'b');
}

TEST(Catalogue, SettingsWithoutPositionsGiveEmptyUnits) {
  ModuleHost host(R"(<settings><fields><f><name>A</name><xpath>description/*author</xpath></f></fields></settings>)");
  std::string name, units;
  ASSERT_EQ(host.Field(0, name, units), ftString);
  EXPECT_EQ(name, "A");
  EXPECT_EQ(units, "");
}

struct SettingsCase {
  const char* label;
  const char* text;   // nullptr: no settings file
  int fieldCount;     // fields the catalogue offers
  int readCode;       // what a read of field 0 answers
};

class SettingsVariants : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(SettingsVariants, CatalogueReadsAndWritesAgree) {
  const SettingsCase& c = GetParam();
  ModuleHost host(c.text, false);
  const std::string book = host.Put("b.fb2", kBook);
  const std::string before = ReadFile(book);
  std::string name, units;
  int offered = 0;
  while (offered < 50 && host.Field(offered, name, units) == ftString) ++offered;
  EXPECT_EQ(offered, c.fieldCount);
  EXPECT_EQ(host.Get(book, 0).code, c.readCode);
  EXPECT_EQ(host.Set(book, 0, 0, "x", setFlagLastField), ftFileError);
  EXPECT_EQ(host.EndBatch(), ftFileError);
  EXPECT_EQ(ReadFile(book), before);
}

INSTANTIATE_TEST_SUITE_P(
    Module, SettingsVariants,
    ::testing::Values(
        SettingsCase{"missing", nullptr, 0, ftNoSuchField}, SettingsCase{"empty", "", 0, ftNoSuchField},
        SettingsCase{"broken", "<settings><fields><f><name>A</name></fields>", 0, ftNoSuchField},
        SettingsCase{"binary", "\x01\x02\xff\xfe garbage", 0, ftNoSuchField},
        SettingsCase{"other_root", "<config><fields><f><name>A</name></f></fields></config>", 0, ftNoSuchField},
        SettingsCase{"no_fields", "<settings><positions>1|2</positions></settings>", 0, ftNoSuchField},
        SettingsCase{"after_comment",
                     "<?xml version=\"1.0\"?><!-- c --><settings><fields><f><name>A</name>"
                     "<xpath>description</xpath></f></fields></settings>",
                     1, ftFileError},
        // a field without a name ends the catalogue there
        SettingsCase{"nameless_second",
                     "<settings><fields><f><name>A</name></f><f><xpath>x</xpath></f>"
                     "<f><name>C</name></f></fields></settings>",
                     1, ftFileError},
        SettingsCase{"name_with_elements", "<settings><fields><f><name><b>x</b></name></f></fields></settings>", 0,
                     ftFileError}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Catalogue, CommentInFieldsTakesAnIndex) {
  ModuleHost host(R"(<settings><fields><f><name>A</name><xpath>description/title-info/book-title</xpath></f>
    <!-- note --><f><name>B</name><xpath>description/title-info/lang</xpath></f></fields></settings>)");
  const std::string book = host.Put("b.fb2", kBook);
  EXPECT_EQ(host.Text(book, 0), Sys("Ледяной маяк"));
  EXPECT_EQ(host.Text(book, 2), "ru") << "the comment shifts B to index 2";
  EXPECT_EQ(host.Get(book, 1).code, ftFileError) << "the comment is a definition without xpath";
}

TEST(Catalogue, ValueCutsEndOnCharacterBoundaries) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("b.fb2", kBook);
  const std::string title = Sys("Ледяной маяк");  // 2-byte letters in UTF-8
  for (int size = 1; size <= int(title.size()) + 2; ++size) {
    const Answer a = host.Get(book, tTitle, 0, size);
    ASSERT_EQ(a.code, ftString);
    EXPECT_LE(a.text.size(), size_t(size - 1));
    EXPECT_EQ(title.compare(0, a.text.size(), a.text), 0);
#ifdef _WIN32
    // a single-byte ANSI code page: every byte is a character and the cut is exact
    EXPECT_EQ(a.text.size(), std::min(size_t(size - 1), title.size()));
#endif
    EXPECT_TRUE(a.text.empty() || (static_cast<unsigned char>(title[a.text.size()]) & 0xC0) != 0x80 ||
                a.text.size() == title.size())
        << "cut inside a character at size " << size;
    EXPECT_GE(a.text.size() + 2, size_t(std::min<int>(size - 1, int(title.size()))));
    EXPECT_TRUE(a.tailZero);
  }
}

#ifndef _WIN32  // on Windows the ctest win32_module_exports (scripts/check-windows-exports) checks it
// Exactly the five entry points are in the module's dynamic symbol table.
TEST(Catalogue, ExportsExactlyTheFiveEntryPoints) {
  const std::string command = std::string("nm -D --defined-only '") + VELARIN_MODULE_PATH + "'";
  std::FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
  ASSERT_EQ(::pclose(pipe), 0) << output;
  std::set<std::string> names;
  std::istringstream lines(output);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (!(fields >> address >> type >> name)) continue;
    if (type == "A") continue;  // version nodes, not symbols
    names.insert(name);
  }
  EXPECT_EQ(names, (std::set<std::string>{"ContentGetDetectString", "ContentGetSupportedField",
                                          "ContentGetSupportedFieldFlags", "ContentGetValue",
                                          "ContentSetValue"}));
}
#endif

}  // namespace
}  // namespace velarin::moduletest
