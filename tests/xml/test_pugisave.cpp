// The pugixml back-end's serialiser, byte for byte against libxml2's own save of
// the same document: tricky inputs, edited values, every encoding, real books.
#include <gtest/gtest.h>
#include <iconv.h>

#include <pugixml.hpp>
#include <string>

#include "platform/codepage.h"
#include "tests/throws.h"
#include "xml/pugisave.h"
#include "xml/xmldecl.h"
#include "xml/xmldom.h"

// The corpus helpers come with the module host, which these tests never start.
#define VELARIN_SOURCE_DIR VELARIN_TESTDATA "/../.."
#define VELARIN_CORPUS_DIR VELARIN_CORPUS
#define VELARIN_MODULE_PATH ""
#include "tests/module/corpus.h"

namespace velarin::xml {
namespace {

using platform::Utf8ToWide;

// bytes from one encoding to another; false when iconv cannot do it exactly.
bool Recode(const std::string& in, const char* from, const char* to, std::string& out) {
  iconv_t cd = iconv_open(to, from);
  if (cd == iconv_t(-1)) return false;
  out.assign(in.size() * 4 + 16, '\0');
  char* src = const_cast<char*>(in.data());
  char* dst = out.data();
  size_t left = in.size(), room = out.size();
  const bool ok = iconv(cd, &src, &left, &dst, &room) != size_t(-1);
  iconv_close(cd);
  out.resize(out.size() - room);
  return ok;
}

// A pugixml tree as the back-end builds it: the declaration as a PI named xml.
struct PugiTree {
  pugi::xml_document doc;
  pugi::xml_node skip;
  PugiSaveOptions options;
  bool parsed = false;

  // utf8: the document as UTF-8; known: libxml2 read an encoding from the declaration.
  PugiTree(const std::string& utf8, bool known) {
    const unsigned flags = pugi::parse_default | pugi::parse_ws_pcdata | pugi::parse_comments | pugi::parse_pi;
    parsed = doc.load_buffer(utf8.data(), utf8.size(), flags, pugi::encoding_utf8);
    if (utf8.compare(0, 6, "<?xml ") == 0) {  // its text as libxml2's back-end keeps it: blanks trimmed
      const size_t start = utf8.find_first_not_of(" \t\r\n", 6);
      const std::string text = utf8.substr(start, utf8.find_last_not_of(" \t\r\n", utf8.find("?>") - 1) + 1 - start);
      doc.prepend_child(pugi::node_pi).set_name("xml");
      doc.first_child().set_value(text.c_str());
      options.encoding = DeclValue(std::string_view(text), "encoding", DeclQuote::Either);
    }
    options.sourceEncodingKnown = known && !options.encoding.empty();
    skip = doc.append_child("skip");
    skip.append_child("hidden").append_child(pugi::node_pcdata).set_value("not saved");
  }
  // Checks on the way that the bytes come in pieces, never the whole at once.
  std::string Save() const {
    std::string out;
    SavePugiTree(doc, skip, options, [&](const char* p, size_t n) {
      EXPECT_LE(n, 128u * 1024);
      out.append(p, n);
    });
    return out;
  }
};

// Equal bytes; otherwise where they part, without diffing megabytes.
::testing::AssertionResult Same(const std::string& mine, const std::string& libxml2) {
  if (mine == libxml2) return ::testing::AssertionSuccess();
  size_t at = 0;
  while (at < mine.size() && at < libxml2.size() && mine[at] == libxml2[at]) ++at;
  const size_t from = at < 40 ? 0 : at - 40;
  return ::testing::AssertionFailure() << "they part at byte " << at << ":\n  pugixml: " << mine.substr(from, 100)
                                       << "\n  libxml2: " << libxml2.substr(from, 100);
}

DOMDocument Libxml(const std::string& input, bool asText = false) {
  DOMDocument d = GetDOM("libxml2")->createDocument();
  const bool ok = asText ? d->loadText(Utf8ToWide(input)) : d->loadBytes(input);
  EXPECT_TRUE(ok) << platform::WideToUtf8(d->parseError().reason) << " in " << input.substr(0, 200);
  return d;
}

const char kXlink[] = "xmlns:l=\"http://www.w3.org/1999/xlink\"";
template <class S>
S Repeat(const S& s, int n) {
  S all;
  while (n-- > 0) all += s;
  return all;
}
const std::string kLong = Repeat(std::string("abc\xD0\x96\xE2\x82\xAC&amp;&lt;\r\n\xF0\x9F\x98\x80 xyz "), 3000);

TEST(PugiSave, WritesWhatLibxml2Writes) {
  const std::string cases[] = {
      std::string("<r a=\"1\" ") + kXlink + " xmlns=\"urn:fb\" b=\"2\"><l:x l:href=\"#n\" xml:lang=\"ru\"/></r>",
      "<r>a &lt; b &gt; c &amp; d \" ' &#13;&#10; &#9; ]]&gt; </r>",
      "<r a=\"&lt;&gt;&amp;&quot;'&#10;&#13;&#9; x\" b='\"' c=\"\"/>",
      "<r a=\"\xC3\xA9 \xD0\x96 \xE2\x82\xAC \xF0\x9F\x98\x80\">\xC3\xA9</r>",
      "<?xml version=\"1.0\"?><r a=\"\xC3\xA9\xF0\x9F\x98\x80\"/>",
      "<?xml version='1.0' encoding='utf-8' ?><r a=\"\xC3\xA9\xF0\x9F\x98\x80\"/>",
      "\xEF\xBB\xBF<?xml  version=\"1.0\"  encoding=\"UTF-8\"\n?><r a=\"\xC3\xA9\"/>",
      "<r xmlns='a\"b' xmlns:q=\"a'b\" xmlns:z='a&quot;b&apos;&lt;&amp;&#10;' "
      "xmlns:xml='http://www.w3.org/XML/1998/namespace' b='1'><e xmlns=''/></r>",
      "<r><![CDATA[a]]]]><![CDATA[>b]]>x<![CDATA[<&>\xC3\xA9]]> <![CDATA[]]]]></r>",
      "<!----><?p?><?q ?><!-- <&> --><r><?r  x  ?><!-- a --></r><?z z?><!--e-->",
      "<r>\n  <a> </a>\n\t<b/>\r\n<c></c>\n</r>",
      "<r x=\"  a\tb\nc\r\nd  \">" + kLong + "<![CDATA[" + kLong.substr(0, 70000) + "]]></r>",
      Repeat(std::string("<d>"), 5000) + Repeat(std::string("t</d>"), 5000),  // no recursion
  };
  for (const std::string& input : cases) {
    PugiTree pugi(input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? input.substr(3) : input,
                  input.find("encoding") != std::string::npos);
    ASSERT_TRUE(pugi.parsed) << input;
    EXPECT_TRUE(Same(pugi.Save(), Libxml(input)->saveBytes())) << input.substr(0, 200);
  }
}

// The same edits on both trees: text, CDATA, comment, PI, attribute, a new element.
void Edit(DOMDocument d, PugiTree& p, const std::u16string& value) {
  DOMNode root = d->childNodes().back();
  DOMNodes kids = root->childNodes();
  for (int i = 0; i < 4; ++i) (i < 2 ? kids[i]->childNodes()[0] : kids[i])->setNodeValue(value);
  root->attributes()[0]->setNodeValue(value);
  DOMNode e = d->createElement(u"n"), a = d->createAttribute(u"v");
  a->setNodeValue(value);
  e->setAttributeNode(a);
  // long enough to cross pieces, so characters are cut between them
  const std::u16string text = Repeat(value, 2000);
  e->appendChild(d->createTextNode(text));
  root->appendChild(e);

  const std::string v = platform::WideToUtf8(value);
  pugi::xml_node r = p.doc.child("r"), n = r.append_child("n");
  for (pugi::xml_node k : {r.child("t").first_child(), r.child("c").first_child(), r.child("c").next_sibling(),
                           r.child("c").next_sibling().next_sibling()})
    k.set_value(v.c_str());
  n.append_child(pugi::node_pcdata).set_value(platform::WideToUtf8(text).c_str());
  r.first_attribute().set_value(v.c_str());
  n.append_attribute("v").set_value(v.c_str());
}

const char kBody[] = "<r a=\"&#xE9;&#x416;\"><t>&#x416;&#x20AC;&#x1F600;</t><c><![CDATA[x]]></c><!--x--><?pi x?></r>";
const std::u16string kTricky = u"<>&\"'\r\n\t]]> \u00e9 \u0416 \u20ac \U0001F600 ]]]> \u0001";

// asText: read from text, so libxml2 does not know the encoding; else from bytes
// (recoded for UTF-16).
void CompareIn(const std::string& encoding, bool asText) {
  SCOPED_TRACE(encoding + (asText ? " as text" : ""));
  const std::string utf8 = "<?xml version=\"1.0\" encoding=\"" + encoding + "\"?>" + kBody;
  std::string bytes = utf8;
  ASSERT_TRUE(asText || encoding.compare(0, 6, "UTF-16") != 0 || Recode(utf8, "UTF-8", encoding.c_str(), bytes));
  DOMDocument d = Libxml(bytes, asText);
  PugiTree p(utf8, !asText);
  ASSERT_TRUE(p.parsed);
  EXPECT_TRUE(Same(p.Save(), d->saveBytes()));
  Edit(d, p, kTricky);
  // libxml2's ICU path loses characters where its own buffers end: not to be copied
  EXPECT_TRUE(encoding == "x-mac-cyrillic" || Same(p.Save(), d->saveBytes()));
}

TEST(PugiSave, EditedValuesInEveryEncoding) {
  for (const char* e : {"UTF-8", "utf-8", "UTF8", "windows-1251", "KOI8-R", "ISO-8859-1", "ASCII", "cp866",
                        "Shift_JIS", "ISO-2022-JP", "UTF-16", "UTF-16LE", "UTF-16BE"})
    CompareIn(e, false);
  // and where libxml2 writes entities of its own (HTML), or converts with ICU
  for (const char* e : {"windows-1251", "utf16", "UCS-2", "HTML", "x-mac-cyrillic"}) CompareIn(e, true);
}

TEST(PugiSave, UnknownEncodingFailsAsLibxml2Does) {
  PugiTree p("<r/>", false);
  p.options.encoding = "no-such-encoding";
  EXPECT_EQ(testsupport::MessageOf<DOMException>([&] { p.Save(); }),
            "Cannot save in the encoding \"no-such-encoding\"");
}

// Every real book the fast path could take, in the form the back-end would give.
TEST(PugiSave, RealBooksSaveAsLibxml2SavesThem) {
  namespace fs = std::filesystem;
  std::vector<fs::path> books;
  for (const std::string& name : moduletest::CorpusBooks("plain")) books.push_back(moduletest::Corpus() / name);
  for (const fs::path& dir : {moduletest::Corpus() / "../corpus-wild/books", moduletest::Samples()})
    if (fs::is_directory(dir))
      for (const auto& e : fs::directory_iterator(dir))
        if (e.path().extension() == ".fb2") books.push_back(e.path());
  if (books.empty()) GTEST_SKIP() << moduletest::CorpusAbsentMessage();
  int compared = 0, doctype = 0, malformed = 0;
  for (const fs::path& book : books) {
    const std::string bytes = moduletest::ReadFile(book);
    const std::string enc = DeclValue(std::string_view(bytes).substr(0, 200), "encoding", DeclQuote::Either);
    std::string utf8 = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
    DOMDocument d = GetDOM("libxml2")->createDocument();
    if (bytes.find("<!DOCTYPE") != std::string::npos) {
      ++doctype;
    } else if (!d->loadBytes(bytes)) {
      ++malformed;
    } else {
      ASSERT_TRUE(enc.empty() || utf8 != bytes || Recode(bytes, enc.c_str(), "UTF-8", utf8)) << book;
      PugiTree p(utf8, true);
      EXPECT_TRUE(p.parsed && Same(p.Save(), d->saveBytes())) << book;
      ++compared;
    }
  }
  std::cout << "[ books    ] " << compared << " of " << books.size() << " compared; left out " << doctype
            << " with a DOCTYPE, " << malformed << " libxml2 refuses\n";
  EXPECT_GT(compared, 0);
}

}  // namespace
}  // namespace velarin::xml
