// Module tests: the body text count and the declared encoding.
#include "fixtures.h"
#include "module_host.h"
#include "tools/bookgen.h"

namespace velarin::moduletest {
namespace {

TEST(Special, BodyCountCountsOnlySingleTextElements) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("b.fb2", kBook);
  Answer a = host.Get(book, tSize);
  EXPECT_EQ(a.code, ftNumeric32);
  EXPECT_EQ(a.number, kBookBodyCount);
  EXPECT_TRUE(a.tailZero);
  a = host.Get(book, tSizeWithPath);
  EXPECT_EQ(a.code, ftNumeric32) << "special 1 ignores its xpath";
  EXPECT_EQ(a.number, kBookBodyCount);
}

TEST(Special, BodyCountOfTwoParagraphs) {
  ModuleHost host(kTestSettings);
  const std::string book =
      host.Put("p.fb2", "<FictionBook><body><p>12345</p><p>1234567</p></body><body><p>xx</p></body></FictionBook>");
  EXPECT_EQ(host.Get(book, tSize).number, 12) << "only the first body counts";
}

TEST(Special, BodyCountCountsUtf16UnitsAndIgnoresCData) {
  ModuleHost host(kTestSettings);
  // U+1F600 is two 16-bit units; CDATA and comments count nothing
  const std::string book = host.Put(
      "u.fb2", "<FictionBook><body><p>\xF0\x9F\x98\x80\xD0\xB6</p><p><![CDATA[skip]]></p><p>a<!-- c --></p></body>"
               "</FictionBook>");
  EXPECT_EQ(host.Get(book, tSize).number, 3);
}

TEST(Special, BookWithoutBodyCountsZero) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("nb.fb2", "<FictionBook><description/></FictionBook>");
  const Answer a = host.Get(book, tSize);
  EXPECT_EQ(a.code, ftNumeric32);
  EXPECT_EQ(a.number, 0);
}

TEST(Special, DeeplyNestedBodyDoesNotExhaustTheStack) {
  ModuleHost host(kTestSettings);
  std::string text = "<FictionBook><body>";
  const int depth = 100000;
  for (int i = 0; i < depth; ++i) text += "<section>";
  text += "<p>abc</p>";
  for (int i = 0; i < depth; ++i) text += "</section>";
  text += "</body></FictionBook>";
  const std::string book = host.Put("deep.fb2", text);
  const Answer a = host.Get(book, tSize);
  // a parser that refuses the depth answers -2; one that accepts it must count 3
  if (a.code == ftNumeric32) {
    EXPECT_EQ(a.number, 3);
  } else {
    EXPECT_EQ(a.code, ftFileError);
  }
  EXPECT_EQ(host.Get(host.Put("ok.fb2", kBook), tTitle).code, ftString);
}

TEST(Special, GeneratedBookCountMatchesItsGenerator) {
  ModuleHost host(kTestSettings);
  const tools::GeneratedBook generated = tools::GenerateBook(3, 400000, true);
  const std::string book = host.Put("gen.fb2", generated.text);
  const Answer a = host.Get(book, tSize);
  EXPECT_EQ(a.code, ftNumeric32);
  EXPECT_EQ(a.number, generated.bodyTextCount);
  EXPECT_EQ(host.Text(book, tTitle), generated.title);
}

TEST(Special, NumberNeedsFourBytes) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("b.fb2", kBook);
  for (int size = 1; size < 4; ++size) {
    const Answer a = host.Get(book, tSize, 0, size);
    EXPECT_EQ(a.code, ftFileError) << size;
    EXPECT_TRUE(a.tailZero) << "a buffer too small stays zeroed";
  }
  EXPECT_EQ(host.Get(book, tSize, 0, 4).number, kBookBodyCount);
}

struct EncodingCase {
  const char* label;
  const char* book;
  const char* encoding;
};

class Encodings : public ::testing::TestWithParam<EncodingCase> {};

TEST_P(Encodings, DeclaredEncodingIsAnsweredAsWritten) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("e.fb2", GetParam().book);
  const Answer a = host.Get(book, tEncoding);  // the first request for this file
  EXPECT_EQ(a.code, ftString);
  EXPECT_EQ(a.text, GetParam().encoding);
}

INSTANTIATE_TEST_SUITE_P(
    Module, Encodings,
    ::testing::Values(
        EncodingCase{"utf8", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><FictionBook/>", "UTF-8"},
        EncodingCase{"cp1251", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><FictionBook/>", "windows-1251"},
        EncodingCase{"mixed_case", "<?xml version='1.0' encoding='Windows-1251'?><FictionBook/>", "Windows-1251"},
        EncodingCase{"no_encoding", "<?xml version=\"1.0\"?><FictionBook/>", ""},
        EncodingCase{"no_declaration", "<FictionBook/>", ""},
        EncodingCase{"other_root", "<?xml version=\"1.0\" encoding=\"koi8-r\"?><book/>", "koi8-r"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Special, OnlyTheFirstSpecialChildCounts) {
  ModuleHost host(kTestSettings);
  const std::string book = host.Put("b.fb2", kBook);
  const Answer a = host.Get(book, tTwoSpecials);
  EXPECT_EQ(a.code, ftString);
  EXPECT_EQ(a.text, "UTF-8");
  EXPECT_EQ(host.Set(book, tTwoSpecials, 0, "x", setFlagLastField), ftFileError);
}

TEST(Special, Cp1251SampleReadsInUtf8) {
  ModuleHost host;
  const std::string book = host.Copy(Samples() / "osenniy-sad-cp1251.fb2");
  EXPECT_EQ(host.Text(book, fEncoding), "windows-1251");
  EXPECT_EQ(host.Text(book, fTitle), Sys("Осенний сад"));
  EXPECT_EQ(host.Text(book, fAuthor), Sys("Сомов"));
  EXPECT_EQ(host.Text(book, fSeries), Sys("Повести"));
}

}  // namespace
}  // namespace velarin::moduletest
