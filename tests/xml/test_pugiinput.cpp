// The pugixml back-end's input: bytes to UTF-8 text, and which books go to libxml2 instead.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "archive/ZipArchiver.h"
#include "platform/codepage.h"
#include "xml/pugiinput.h"
#include "xml/pugiinput_scan.h"
#include "xml/xmldom.h"

namespace velarin::xml {
namespace {

namespace fs = std::filesystem;

std::string Utf16(const std::u16string& s, bool bigEndian, bool mark) {
  std::string out;
  auto unit = [&](char16_t u) {
    out.push_back(char(bigEndian ? u >> 8 : u & 0xFF));
    out.push_back(char(bigEndian ? u & 0xFF : u >> 8));
  };
  if (mark) unit(0xFEFF);
  for (char16_t u : s) unit(u);
  return out;
}

// What the libxml2 back-end makes of the same bytes: the fast path must never take what it refuses.
bool LibxmlLoads(const std::string& bytes, std::string* declaration = nullptr) {
  DOMDocument d = GetDOM("libxml2")->createDocument();
  if (!d->loadBytes(bytes)) return false;
  if (declaration) {
    const DOMNodes top = d->childNodes();
    const bool pi = !top.empty() && top[0]->nodeType() == nkProcessingInstr && top[0]->nodeName() == u"xml";
    *declaration = pi ? platform::WideToUtf8(top[0]->nodeValue()) : "<none>";
  }
  return true;
}

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";

struct Conversion {
  const char* what;
  std::string bytes;
  std::string text;  // expected UTF-8 text
  bool declared;
  const char* declaration;
  const char* encoding;
  bool mark;
};

TEST(PugiInput, EncodingsBecomeUtf8Text) {
  const std::u16string doc16 = u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>При\U0001F600</a>";
  const std::string doc8 = u8"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>При\U0001F600</a>";
  const std::u16string bare16 = u"<?xml version='1.0'?><a>Ж</a>";
  const Conversion cases[] = {
      {"UTF-8 declared", kDecl + u8"<a>Привет</a>", kDecl + u8"<a>Привет</a>", true,
       "version=\"1.0\" encoding=\"UTF-8\"", "UTF-8", false},
      {"UTF-8 in lower case, blanks around '='", "<?xml  version = '1.0'\tencoding= 'utf-8' ?><a/>",
       "<?xml  version = '1.0'\tencoding= 'utf-8' ?><a/>", true, "version = '1.0'\tencoding= 'utf-8'", "utf-8",
       false},
      {"UTF-8 without a declaration", "<a x='1'/>\n", "<a x='1'/>\n", false, "", "", false},
      {"UTF-8 with a byte order mark", "\xEF\xBB\xBF<?xml version=\"1.0\" standalone=\"yes\"?><a/>",
       "<?xml version=\"1.0\" standalone=\"yes\"?><a/>", true, "version=\"1.0\" standalone=\"yes\"", "", true},
      {"UTF-16LE with a mark", Utf16(doc16, false, true), doc8, true, "version=\"1.0\" encoding=\"UTF-16\"",
       "UTF-16", true},
      {"UTF-16BE with a mark", Utf16(doc16, true, true), doc8, true, "version=\"1.0\" encoding=\"UTF-16\"",
       "UTF-16", true},
      {"UTF-16LE without a mark", Utf16(bare16, false, false), u8"<?xml version='1.0'?><a>Ж</a>", true,
       "version='1.0'", "", false},
      {"UTF-16BE without a mark", Utf16(bare16, true, false), u8"<?xml version='1.0'?><a>Ж</a>", true,
       "version='1.0'", "", false},
      {"windows-1251", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a t='\xB9'>\xCF\xF0\xE8\x88</a>",
       u8"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a t='№'>При€</a>", true,
       "version=\"1.0\" encoding=\"windows-1251\"", "windows-1251", false},
      {"KOI8-R", "<?xml version=\"1.0\" encoding=\"KOI8-R\"?><a>\xF0\xD2\xC9</a>",
       u8"<?xml version=\"1.0\" encoding=\"KOI8-R\"?><a>При</a>", true, "version=\"1.0\" encoding=\"KOI8-R\"",
       "KOI8-R", false},
      {"ISO-8859-1", "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>caf\xE9\xA0</a>",
       u8"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><a>café\u00A0</a>", true,
       "version=\"1.0\" encoding=\"ISO-8859-1\"", "ISO-8859-1", false},
  };
  for (const Conversion& c : cases) {
    SCOPED_TRACE(c.what);
    std::string libxmlDeclaration;
    ASSERT_TRUE(LibxmlLoads(c.bytes, &libxmlDeclaration));
    PugiInput in = PrepareBytes(std::string(c.bytes));
    EXPECT_EQ(in.handOver, nullptr) << in.handOver;
    EXPECT_EQ(in.text, c.text);
    EXPECT_EQ(in.declared, c.declared);
    EXPECT_EQ(in.declaration, c.declaration);
    EXPECT_EQ(in.declared ? in.declaration : "<none>", libxmlDeclaration);
    EXPECT_EQ(in.encoding, c.encoding);
    EXPECT_EQ(in.byteOrderMark, c.mark);
  }
}

struct HandOver {
  const char* what;
  std::string bytes;
  const char* reason;  // a word of the reason, so each row fails for its own cause
};

std::string Doc(const std::string& body) { return kDecl + "<a>" + body + "</a>"; }
std::string Nested(int depth) {
  std::string s;
  for (int i = 0; i < depth; ++i) s += "<a>";
  for (int i = 0; i < depth; ++i) s += "</a>";
  return s;
}
std::string ManyAttributes(int count) {
  std::string s = "<a";
  for (int i = 0; i < count; ++i) s += " a" + std::to_string(i) + "='1'";
  return s + "/>";
}

const HandOver kHandOvers[] = {
    // encodings
    {"an unknown encoding", "<?xml version=\"1.0\" encoding=\"x-no-such-code-page\"?><a/>", "iconv"},
    {"a byte windows-1251 does not map", "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\x98</a>", "map"},
    {"UTF-16 named in 8-bit bytes", "<?xml version=\"1.0\" encoding=\"UTF-16\"?><a/>", "convert"},
    {"UCS-4 named in 8-bit bytes", "<?xml version=\"1.0\" encoding=\"ucs-4\"?><a/>", "convert"},
    {"EBCDIC named in ASCII", "<?xml version=\"1.0\" encoding=\"IBM037\"?><a/>", "ASCII"},
    {"a UTF-8 mark with windows-1251", "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1251\"?><a/>", "mark"},
    {"UTF-16 declaring windows-1251", Utf16(u"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a/>", false, true),
     "another encoding"},
    {"UTF-16 with a lone surrogate", Utf16(u"<a>\xD800</a>", false, true), "UTF-16"},
    {"UTF-16 cut inside a unit", Utf16(u"<a/>", true, true) + "x", "UTF-16"},
    {"UCS-4 without a mark", std::string("<\0\0\0a\0\0\0/\0\0\0>\0\0\0", 16), "ASCII"},
    // bytes that are not UTF-8, characters XML does not allow
    {"an overlong '/'", Doc("\xC0\xAF"), "UTF-8"},
    {"an overlong three-byte form", Doc("\xE0\x80\xAF"), "UTF-8"},
    {"a surrogate", Doc("\xED\xA0\x80"), "UTF-8"},
    {"past U+10FFFF", Doc("\xF4\x90\x80\x80"), "UTF-8"},
    {"a stray continuation byte", Doc("\x80"), "UTF-8"},
    {"a lead byte without its continuation", Doc("\xD0<b/>"), "UTF-8"},
    {"U+FFFE", Doc("\xEF\xBF\xBE"), "UTF-8"},
    {"U+FFFF in an attribute", kDecl + "<a b='\xEF\xBF\xBF'/>", "UTF-8"},
    {"NUL", Doc(std::string(1, '\0')), "control"},
    {"a vertical tab", Doc("\x0B"), "control"},
    {"a control byte in a comment", kDecl + "<!-- \x1F --><a/>", "control"},
    {"a control byte in an attribute", kDecl + "<a b='\x01'/>", "control"},
    // references
    {"an entity", Doc("&nbsp;"), "entity"},
    {"'&' alone", Doc("a & b"), "entity"},
    {"&amp without ';'", Doc("&amp"), "entity"},
    {"an entity in an attribute", kDecl + "<a b='&x;'/>", "entity"},
    {"a reference without digits", Doc("&#;"), "character reference"},
    {"a hex reference without digits", Doc("&#x;"), "character reference"},
    {"a capital X", Doc("&#X41;"), "character reference"},
    {"a reference to NUL", Doc("&#0;"), "character reference"},
    {"a reference to a surrogate", Doc("&#xD800;"), "character reference"},
    {"a reference to U+FFFE", Doc("&#65534;"), "character reference"},
    {"a reference past U+10FFFF", Doc("&#x110000;"), "character reference"},
    {"a reference that overflows 32 bits", Doc("&#99999999999999999999;"), "character reference"},
    {"a reference cut at the end", kDecl + "<a>&#65", "character reference"},
    // markup declarations, CDATA
    {"a document type", kDecl + "<!DOCTYPE a><a/>", "document type"},
    {"a document type with an internal subset", kDecl + "<!DOCTYPE a [<!ENTITY e 'x'>]><a>&e;</a>", "document type"},
    {"another declaration", Doc("<!ELEMENT a ANY>"), "markup declaration"},
    {"a lower-case cdata", Doc("<![cdata[x]]>"), "markup declaration"},
    {"\"]]>\" in text", Doc("a ]]> b"), "CDATA"},
    {"\"]]>\" after a CDATA section", Doc("<![CDATA[x]]>]]>"), "CDATA"},
    {"an unterminated CDATA section", kDecl + "<a><![CDATA[x]>", "unterminated"},
    {"\"--\" in a comment", Doc("<!-- a -- b -->"), "comment"},
    {"a comment ending \"--->\"", Doc("<!-- a --->"), "comment"},
    // declarations and processing instructions named xml
    {"version 1.1", "<?xml version=\"1.1\"?><a/>", "declaration"},
    {"encoding before version", "<?xml encoding=\"UTF-8\" version=\"1.0\"?><a/>", "declaration"},
    {"no version", "<?xml encoding=\"UTF-8\"?><a/>", "declaration"},
    {"standalone before encoding", "<?xml version=\"1.0\" standalone=\"no\" encoding=\"UTF-8\"?><a/>",
     "declaration"},
    {"standalone maybe", "<?xml version=\"1.0\" standalone=\"maybe\"?><a/>", "declaration"},
    {"an unknown pseudo-attribute", "<?xml version=\"1.0\" foo=\"bar\"?><a/>", "declaration"},
    {"no blank between pseudo-attributes", "<?xml version=\"1.0\"encoding=\"UTF-8\"?><a/>", "declaration"},
    {"mixed quotes", "<?xml version=\"1.0'?><a/>", "declaration"},
    {"an encoding name starting with a digit", "<?xml version=\"1.0\" encoding=\"1251\"?><a/>", "declaration"},
    {"an encoding name with a slash", "<?xml version=\"1.0\" encoding=\"UTF-8//IGNORE\"?><a/>", "declaration"},
    {"an unterminated declaration", "<?xml version=\"1.0\"", "declaration"},
    {"a capital XML", "<?XML version=\"1.0\"?><a/>", "<?xml"},
    {"no blank after <?xml", "<?xml?><a/>", "<?xml"},
    {"a declaration after a blank", " <?xml version=\"1.0\"?><a/>", "<?xml"},
    {"a second declaration", kDecl + "<?xml version=\"1.0\"?><a/>", "<?xml"},
    {"a PI named xml-other", kDecl + "<?xml-other href='a'?><a/>", "<?xml"},
    {"a PI named XML-stylesheet", kDecl + "<?XML-stylesheet href='a'?><a/>", "<?xml"},
    {"a PI named Xml inside", Doc("<?Xml x?>"), "<?xml"},
    {"a PI with a colon", Doc("<?a:b x?>"), "target"},
    // structure pugixml would take and libxml2 refuses
    {"'<' in an attribute", kDecl + "<a b='x<y'/>", "'<'"},
    {"an attribute given twice", kDecl + "<a b='1' c='2' b='3'/>", "twice"},
    {"an attribute without a blank before it", kDecl + "<a b='1'c='2'/>", "blank"},
    {"an attribute without quotes", kDecl + "<a b=1/>", "quotes"},
    {"a name with two colons", kDecl + "<a:b:c/>", "qualified"},
    {"a name ending in a colon", kDecl + "<a: x='1'/>", "qualified"},
    {"a non-ASCII element name", kDecl + u8"<книга/>", "ASCII"},
    {"an end tag that does not match", kDecl + "<a><b></a></b>", "does not match"},
    {"an undeclared prefix on an element", kDecl + "<a><l:b/></a>", "undeclared"},
    {"an undeclared prefix on an attribute", kDecl + "<a><b l:href='#x'/></a>", "undeclared"},
    {"a prefix used out of its scope", kDecl + "<a><b xmlns:l='u'/><c l:href='#x'/></a>", "undeclared"},
    {"a prefix bound to nothing", kDecl + "<a xmlns:l=''/>", "declared in a way"},
    {"the xmlns prefix declared", kDecl + "<a xmlns:xmlns='u'/>", "declared in a way"},
    {"one local name under two prefixes", kDecl + "<a xmlns:p='u' xmlns:q='u' p:x='1' q:x='2'/>", "share"},
    {"a second root", kDecl + "<a/><b/>", "second root"},
    {"text before the root", kDecl + "x<a/>", "before the root"},
    {"text after the root", kDecl + "<a/>x", "after the root"},
    {"a CDATA section outside the root", kDecl + "<![CDATA[x]]><a/>", "outside the root"},
    {"no root", kDecl + "<!-- only -->", "no root"},
    {"an unclosed root", kDecl + "<a><b/>", "ends inside"},
    {"an end tag too many", kDecl + "<a/></a>", "end tag"},
    {"a tag cut at the end", kDecl + "<a", "ends inside"},
    {"nesting past half the markup scan's bound", Nested(6000), "nested"},
    {"more attributes than are compared", ManyAttributes(40), "attributes"},
};

TEST(PugiInput, WhatTheFastPathDoesNotVouchForGoesToLibxml2) {
  for (const HandOver& h : kHandOvers) {
    SCOPED_TRACE(h.what);
    const PugiInput in = PrepareBytes(std::string(h.bytes));
    ASSERT_NE(in.handOver, nullptr);
    EXPECT_NE(std::string(in.handOver).find(h.reason), std::string::npos) << in.handOver;
  }
}

TEST(PugiInput, TheFastPathTakesWhatLibxml2ReadsAlike) {
  const std::string cases[] = {
      Doc("&amp;&lt;&gt;&quot;&apos;&#65;&#x41;&#x10FFFF;&#9;&#000000000065;&#xd7ff;&#xE000;"),
      Doc("\t\r\n\x7F \xC2\x80 \xEF\xBF\xBD \xF0\x90\x80\x80 \xF4\x8F\xBF\xBF ] ]] ]> >"),
      Doc("<![CDATA[ <b> & ]] ]]]> <!-- -->"),
      Doc("<!----><!-- a - b -><![CDATA[ & ]]> <b> -->"),
      Doc("<?pi with ?? and ]]> ?><?x?>"),
      kDecl + "<?xml-stylesheet type='text/xsl' href='a.xsl'?><?xml-model href='b'?><a/>",
      kDecl + "<!-- before --><?pi?>\n<a xmlns='u' xmlns:l=\"v\" l:href='#x' b = \"'&amp;'\" c=\"&#60;\"  >"
              "<b/><c d='1' /></a >\r\n<!-- after -->\n",
      kDecl + u8"<a b='Привет, мир'>Привет, мир</a>",
      kDecl + "<a xmlns:l='u' xml:lang='ru'><b l:href='#x'><l:c xmlns:l='v' l:d=''/></b><e xmlns:m='w' m:f='1'/></a>",
  };
  for (const std::string& c : cases) {
    SCOPED_TRACE(c);
    EXPECT_TRUE(LibxmlLoads(c));
    const PugiInput in = PrepareBytes(std::string(c));
    EXPECT_EQ(in.handOver, nullptr) << in.handOver;
    EXPECT_EQ(in.text, c);
  }
}

TEST(PugiInput, Utf8TextIgnoresTheDeclaredEncoding) {
  PugiInput in = PrepareUtf8Text(u8"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>Ж</a>");
  EXPECT_EQ(in.handOver, nullptr) << in.handOver;
  EXPECT_EQ(in.text, u8"<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>Ж</a>");
  EXPECT_TRUE(in.byteOrderMark);
  EXPECT_EQ(in.encoding, "windows-1251");
  EXPECT_EQ(in.declaration, "version=\"1.0\" encoding=\"windows-1251\"");
  // the checks are the same as for bytes
  EXPECT_NE(PrepareUtf8Text(Doc("\xC0\xAF")).handOver, nullptr);
  EXPECT_NE(PrepareUtf8Text(Doc("&nbsp;")).handOver, nullptr);
}

// Every cut of a book, bytes and text read exactly to the cut (the sanitizer
// build sees a read past it): a cut book never takes the fast path.
TEST(PugiInput, EveryCutIsReadWithinItsBytesAndHandedOver) {
  const std::string books[] = {
      "\xEF\xBB\xBF" + kDecl + u8"<a b='x&amp;'>Ж&#x41;<!-- c --><![CDATA[d]]><?p q?></a>",
      Utf16(u"<?xml version=\"1.0\" encoding=\"UTF-16\"?><a>Ж</a>", false, true),
      Utf16(u"<?xml version='1.0'?><a>Ж</a>", true, false),
      "<?xml version=\"1.0\" encoding=\"windows-1251\"?><a>\xCF\xF0\xE8</a>",
  };
  for (const std::string& book : books) {
    ASSERT_EQ(PrepareBytes(std::string(book)).handOver, nullptr) << book;
    for (size_t cut = 0; cut < book.size(); ++cut) {
      SCOPED_TRACE(cut);
      EXPECT_NE(PrepareBytes(book.substr(0, cut)).handOver, nullptr);
      std::unique_ptr<char[]> exact(new char[cut + 1]);
      std::copy_n(book.data(), cut, exact.get());
      const std::string_view view(exact.get(), cut);
      const PugiDeclaration decl = CheckPugiDeclaration(view);
      if (!decl.handOver) {
        EXPECT_NE(ScanForHandOver(view, decl.end), nullptr);
      }
    }
  }
}

// The book text of a plain file, or of the first book in an archive.
std::string BookText(const fs::path& path) {
  std::string ext = path.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  if (ext == ".fb2") {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
  archive::TZipArchiver zip;
  zip.FileName = platform::Utf8ToWide(path.string());
  zip.Open(archive::openRead);
  for (int32_t i = 0; i < zip.EntryCount(); ++i) {
    const std::u16string& name = zip.Entry(i).Name;
    if (name.size() > 4 && platform::WideToUtf8(name.substr(name.size() - 4)) == ".fb2")
      return zip.ReadEntryText(name);
  }
  return "";
}

// Real books: how many take the fast path, why the others do not. None the
// libxml2 back-end refuses may take it.
// Cyrillic text is checked sixteen bytes at a time: a bad byte anywhere in a
// block, or a character cut at a block's end, must still be caught.
TEST(PugiInput, EveryBadByteInTwoByteTextIsCaught) {
  std::string cyrillic;
  for (int i = 0; i < 40; ++i) cyrillic += i % 7 == 6 ? " " : "\xD0\xB4";  // "д" and some blanks
  const std::string clean = "<a>" + cyrillic + "</a>";
  ASSERT_EQ(ScanForHandOver(clean, 0), nullptr);
  const unsigned char bad[] = {0x80, 0xBF, 0xC0, 0xC1, 0xE0, 0xF5, 0xFF, 0x01, '<', '&'};
  for (size_t at = 3; at < 3 + cyrillic.size(); ++at)
    for (unsigned char b : bad) {
      std::string text = clean;
      const unsigned char was = static_cast<unsigned char>(text[at]);
      if (was == b || ((was & 0xC0) == 0x80 && (b & 0xC0) == 0x80)) continue;  // still a whole character
      text[at] = char(b);
      EXPECT_NE(ScanForHandOver(text, 0), nullptr) << "byte " << int(b) << " at " << at;
    }
  // a two-byte character across every block boundary stays whole and passes
  for (size_t shift = 0; shift < 16; ++shift)
    EXPECT_EQ(ScanForHandOver("<a>" + std::string(shift, 'x') + cyrillic + "</a>", 0), nullptr) << shift;
}

TEST(PugiInput, RealBooksMostlyTakeTheFastPath) {
  const fs::path corpus(VELARIN_CORPUS);
  std::vector<fs::path> books;
  for (const fs::path& dir : {corpus, corpus.parent_path() / "corpus-wild" / "books"}) {
    if (!fs::is_directory(dir)) continue;
    for (const auto& e : fs::directory_iterator(dir)) {
      std::string ext = e.path().extension().string();
      std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return char(std::tolower(c)); });
      if (ext == ".fb2" || ext == ".zip" || ext == ".fbz") books.push_back(e.path());
    }
  }
  if (books.empty()) GTEST_SKIP() << "the real-world books are not beside the project (" << corpus << ")";
  std::map<std::string, int> reasons;
  int fast = 0, readable = 0;
  for (const fs::path& path : books) {
    std::string text;
    try {
      text = BookText(path);
    } catch (const std::exception&) {
      ++reasons["(archive not readable)"];
      continue;
    }
    const bool loads = LibxmlLoads(text);
    readable += loads;
    const PugiInput in = PrepareBytes(std::move(text));
    if (in.handOver) {
      ++reasons[std::string(in.handOver) + (loads ? "" : " (libxml2 refuses it too)")];
      if (loads) std::printf("  handed over, though libxml2 reads it: %s: %s\n", path.filename().c_str(), in.handOver);
      continue;
    }
    ++fast;
    EXPECT_TRUE(loads) << path << " takes the fast path, but the libxml2 back-end refuses it";
  }
  std::printf("%d books, %d readable by libxml2, %d take the fast path\n", int(books.size()), readable, fast);
  for (const auto& [reason, count] : reasons) std::printf("  %4d handed over: %s\n", count, reason.c_str());
  EXPECT_GE(fast * 10, readable * 9) << "fewer than nine in ten readable books take the fast path";
}

}  // namespace
}  // namespace velarin::xml
