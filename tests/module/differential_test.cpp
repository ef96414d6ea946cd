// Module tests: every book read and edited through the module once with each XML back-end
// (VELARIN_DOM), the answers and the saved bytes compared. All differences of a group are
// collected and listed in one failure.
#include <iconv.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <sstream>

#include "archive_fixtures.h"
#include "corpus.h"
#include "tools/bookgen.h"
#include "xml/xmldom.h"

namespace velarin::moduletest {
namespace {

// The fast back-end against the reference. This program is built with the same back-ends
// as the module, so its own registry tells whether the fast one exists yet.
constexpr const char* kFast = "pugixml";
constexpr const char* kReference = "libxml2";

bool Registered(const char* backend) {
  try {
    return xml::GetDOM(backend) != nullptr;
  } catch (const Exception&) {
    return false;
  }
}

// What VELARIN_DOM names for the pass; an unregistered name makes the module use its first.
std::string PassBackend(const char* backend) { return Registered(backend) ? backend : kReference; }

struct Book {
  std::string label;  // for messages
  std::string name;   // file name of the copies; its extension chooses plain or archived
  fs::path source;    // copied from here when set
  std::string bytes;  // else these are the book
};

// A field of the default settings, and whether it is repeated ("*" in its path).
struct FieldInfo {
  int index;
  std::string name;
  bool repeated;
};

std::vector<FieldInfo> DefaultFields(ModuleHost& host) {
  const std::string settings = ReadFile(DefaultSettings());
  std::vector<FieldInfo> fields;
  size_t at = 0;
  for (int i = 0;; ++i) {
    std::string name, units;
    if (host.Field(i, name, units) != ftString) break;
    at = settings.find("<field>", at);
    const size_t end = settings.find("</field>", at);
    const std::string definition = at == std::string::npos ? "" : settings.substr(at, end - at);
    at = end;
    fields.push_back({i, name, definition.find("<xpath>") != std::string::npos &&
                                   definition.find('*') != std::string::npos});
  }
  return fields;
}

std::string Describe(const Answer& a) {
  std::ostringstream out;
  out << a.code;
  if (a.code == ftString) out << " \"" << a.text << '"';
  if (a.code == ftNumeric32) out << " " << a.number;
  if (!a.tailZero) out << " (bytes after the value)";
  return out.str();
}

// Answers of one pass in the order asked, each with where it was asked.
using Answers = std::vector<std::pair<std::string, std::string>>;

// A file manager's reads: every field at unit 0; repeated ones also at -1 and unit by
// unit until three in a row are empty (a missing middle name does not end the list).
void ReadAll(ModuleHost& host, const std::string& file, const std::vector<FieldInfo>& fields, Answers& out) {
  constexpr int kMaxUnits = 64;
  for (const FieldInfo& f : fields) {
    if (!f.repeated) {
      out.emplace_back(f.name, Describe(host.Get(file, f.index)));
      continue;
    }
    out.emplace_back(f.name + " unit -1", Describe(host.Get(file, f.index, -1)));
    for (int unit = 0, misses = 0; unit < kMaxUnits && misses < 3; ++unit) {
      const Answer a = host.Get(file, f.index, unit);
      misses = a.code == ftString ? 0 : misses + 1;
      out.emplace_back(f.name + " unit " + std::to_string(unit), Describe(a));
    }
  }
}

struct Edit {
  int field;
  int unit;
  const char* value;
  int flags;
};

// A batch: text with characters a legacy encoding lacks and markup characters, a new
// repeated element, an attribute, a removal; the flag on the last saves.
const Edit kBatch[] = {
    {fTitle, 0, "Правка — 書 & <b> \"q\"", 0},
    {fAuthor, -1, "Новый", 0},
    {fSeries, 0, "Серия & \"кавычки\" <x>\t'", 0},
    {fKeywords, 0, "", 0},
    {fPublishYear, 0, "2031", setFlagLastField},
};
// Then one field alone: a repeated element removed with the blank before it.
const Edit kSingle = {fGenre, 0, "", setFlagLastField};
const int kReadBack[] = {fTitle, fAuthors, fSeries, fKeywords, fPublishYear, fGenres};

struct Pass {
  Answers answers;
  std::string saved;  // the file after the edits
};

void SetBackend(const std::string& backend) { setenv("VELARIN_DOM", backend.c_str(), 1); }

// One book through one back-end: the copy in dir is read, edited, read again and saved.
Pass RunPass(ModuleHost& host, const Book& book, const std::string& backend, const fs::path& dir,
             const std::vector<FieldInfo>& fields) {
  SetBackend(backend);
  fs::create_directories(dir);
  const fs::path file = dir / book.name;
  if (!book.source.empty()) {
    fs::copy_file(book.source, file, fs::copy_options::overwrite_existing);
    fs::permissions(file, fs::perms::owner_write, fs::perm_options::add);
  } else {
    WriteFile(file, book.bytes);
  }
  // another file is current now: the first read loads this one with the back-end set above
  Pass p;
  ReadAll(host, file.string(), fields, p.answers);
  for (const Edit& e : kBatch)
    p.answers.emplace_back("set " + fields[size_t(e.field)].name,
                           std::to_string(host.Set(file.string(), e.field, e.unit, e.value, e.flags)));
  for (int f : kReadBack)
    p.answers.emplace_back("after the batch, " + fields[size_t(f)].name, Describe(host.Get(file.string(), f)));
  p.answers.emplace_back("set alone " + fields[size_t(kSingle.field)].name,
                         std::to_string(host.Set(file.string(), kSingle.field, kSingle.unit, kSingle.value,
                                                 kSingle.flags)));
  host.EndBatch();
  p.saved = ReadFile(file);
  fs::remove(file);
  return p;
}

std::string LowerExtension(const fs::path& p) {
  std::string ext = p.extension().string();
  for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// Up to 40 bytes either side of at; control bytes escaped, and for binary all other than ASCII.
std::string Excerpt(const std::string& s, size_t at, bool binary) {
  const size_t from = at > 40 ? at - 40 : 0;
  std::string out;
  for (size_t i = from; i < std::min(s.size(), at + 40); ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (i == at) out += "[>]";
    if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c == 0x7F || (binary && c > 0x7F)) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += char(c);
    }
  }
  return out;
}

// The differences of two passes over one book, one line each.
void Compare(const Book& book, const Pass& fast, const Pass& reference,
             std::vector<std::string>& differences) {
  const size_t n = std::max(fast.answers.size(), reference.answers.size());
  for (size_t i = 0; i < n; ++i) {
    const auto* a = i < fast.answers.size() ? &fast.answers[i] : nullptr;
    const auto* b = i < reference.answers.size() ? &reference.answers[i] : nullptr;
    if (a && b && *a == *b) continue;
    differences.push_back(book.label + ": " + (a ? a->first : b->first) + ": " + kFast + " " +
                          (a ? a->second : "(not asked)") + ", " + kReference + " " +
                          (b ? b->second : "(not asked)"));
  }
  if (fast.saved == reference.saved) return;
  size_t at = 0;
  while (at < fast.saved.size() && at < reference.saved.size() && fast.saved[at] == reference.saved[at]) ++at;
  const bool binary = LowerExtension(book.name) != ".fb2";
  differences.push_back(book.label + ": saved files differ (" + std::to_string(fast.saved.size()) + " and " +
                        std::to_string(reference.saved.size()) + " bytes) from byte " + std::to_string(at) +
                        ":\n    " + kFast + ": " + Excerpt(fast.saved, at, binary) + "\n    " + kReference + ": " +
                        Excerpt(reference.saved, at, binary));
}

// Restores VELARIN_DOM as it was when the group began.
class BackendChoice {
 public:
  BackendChoice() {
    if (const char* v = std::getenv("VELARIN_DOM")) saved_ = v;
  }
  ~BackendChoice() {
    if (saved_)
      setenv("VELARIN_DOM", saved_->c_str(), 1);
    else
      unsetenv("VELARIN_DOM");
  }

 private:
  std::optional<std::string> saved_;
};

// Every book through both back-ends; fails once, listing every difference.
void CompareBooks(const std::string& group, const std::vector<Book>& books) {
  BackendChoice restore;
  const auto started = std::chrono::steady_clock::now();
  ModuleHost host;
  const std::vector<FieldInfo> fields = DefaultFields(host);
  ASSERT_EQ(fields.size(), size_t(kDefaultFieldCount));
  const std::string fast = PassBackend(kFast), reference = PassBackend(kReference);
  if (fast == reference) std::cout << kFast << " is not registered: " << reference << " is compared with itself\n";
  std::vector<std::string> differences;
  size_t answers = 0, saves = 0;
  for (size_t i = 0; i < books.size(); ++i) {
    const Pass a = RunPass(host, books[i], fast, host.Dir() / "fast", fields);
    const Pass b = RunPass(host, books[i], reference, host.Dir() / "reference", fields);
    Compare(books[i], a, b, differences);
    answers += a.answers.size();
    saves += a.saved != (books[i].source.empty() ? books[i].bytes : ReadFile(books[i].source)) ? 1 : 0;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::cout << group << ": " << books.size() << " books, " << answers << " answers and " << books.size()
            << " saved files compared, " << saves << " of them changed by the edits, in " << seconds << " s\n";
  std::string list;
  for (const std::string& d : differences) list += "  " + d + "\n";
  EXPECT_TRUE(differences.empty()) << differences.size() << " differences in " << group << ":\n" << list;
}

bool IsBookName(const fs::path& p) {
  const std::string ext = LowerExtension(p);
  return ext == ".fb2" || ext == ".zip" || ext == ".fbz";
}

// The books of a folder, by name, each under its own file name.
std::vector<Book> BooksIn(const fs::path& dir, const std::string& prefix) {
  std::vector<Book> books;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir, ec))
    if (entry.is_regular_file() && IsBookName(entry.path()))
      books.push_back({prefix + entry.path().filename().string(), entry.path().filename().string(), entry.path(), ""});
  std::sort(books.begin(), books.end(), [](const Book& x, const Book& y) { return x.label < y.label; });
  return books;
}

fs::path WildBooks() { return Corpus().parent_path() / "corpus-wild" / "books"; }

std::string Recode(const std::string& utf8, const char* to) {
  iconv_t cd = iconv_open(to, "UTF-8");
  if (cd == iconv_t(-1)) throw std::runtime_error(std::string("no conversion to ") + to);
  std::string out(utf8.size() * 4 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size(), outLeft = out.size();
  char* o = out.data();
  const size_t done = iconv(cd, &in, &inLeft, &o, &outLeft);
  iconv_close(cd);
  if (done == size_t(-1)) throw std::runtime_error(std::string("cannot convert a generated book to ") + to);
  out.resize(out.size() - outLeft);
  return out;
}

// Generated books in every encoding the document layer reads, each plain and archived
// across the seeds, with and without an embedded image, from 1.5 to 40 KB.
std::vector<Book> GeneratedBooks() {
  const struct {
    const char* declared;
    const char* iconvName;  // none: as generated
    const char* mark;
  } encodings[] = {{"UTF-8", nullptr, ""},
                   {"windows-1251", "WINDOWS-1251", ""},
                   {"KOI8-R", "KOI8-R", ""},
                   {"UTF-16", "UTF-16LE", "\xFF\xFE"}};
  const char* const containers[] = {".fb2", ".fb2", ".zip", ".fb2", ".fbz"};
  std::vector<Book> books;
  for (std::uint32_t seed = 1; seed <= 32; ++seed) {
    const auto& enc = encodings[seed % 4];
    const std::string container = containers[seed % 5];
    std::string text = tools::GenerateBook(seed, 1500 + (seed * 7919) % 38500, seed % 3 == 0).text;
    const std::string declaration = "encoding=\"UTF-8\"";
    text.replace(text.find(declaration), declaration.size(), std::string("encoding=\"") + enc.declared + "\"");
    if (enc.iconvName) text = enc.mark + Recode(text, enc.iconvName);
    const std::string name = "gen" + std::to_string(seed) + container;
    if (container != ".fb2") text = ziptest::Build({Item("gen" + std::to_string(seed) + ".fb2", text)});
    books.push_back({name + " (" + enc.declared + (seed % 3 == 0 ? ", image)" : ")"), name, {}, text});
  }
  return books;
}

std::string WithDoctype(const std::string& doctype) {
  std::string text = kBook;
  return text.insert(text.find("?>") + 2, "\n" + doctype);
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Books the other tests write, and the odd shapes around them, broken ones included.
std::vector<Book> WrittenBooks() {
  const std::string book = kBook;
  const std::string body = book.substr(book.find('\n') + 1);
  const std::string laughs =
      "<?xml version=\"1.0\"?><!DOCTYPE FictionBook [<!ENTITY a \"aaaaaaaaaa\">"
      "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\"><!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">"
      "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\"><!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">"
      "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\"><!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">]>"
      "<FictionBook><description><title-info><book-title>&g;</book-title></title-info></description></FictionBook>";
  std::string junk;
  for (int i = 0; i < 4096; ++i) junk += char((i * 7919 + 13) % 256);
  const std::vector<std::pair<std::string, std::string>> table = {
      {"book", book},
      {"no declaration", body},
      {"CRLF line ends", Replaced(book, "\n", "\r\n")},
      {"tabs and blanks", Replaced(book, "\n<", "\n \t <")},
      {"UTF-8 mark", "\xEF\xBB\xBF" + book},
      {"single quotes, standalone", "<?xml version='1.0' encoding='utf-8' standalone='yes'?>\n" + body},
      {"doctype", WithDoctype("<!DOCTYPE FictionBook>")},
      {"doctype system", WithDoctype("<!DOCTYPE FictionBook SYSTEM \"fictionbook.dtd\">")},
      {"doctype internal", WithDoctype("<!DOCTYPE FictionBook [<!ELEMENT FictionBook ANY><!ENTITY e \"E!\">]>")},
      {"comments and instructions", Replaced(book, "<description>", "<!-- c --><?pi x?>\n<description>")},
      {"comment before the top", Replaced(book, "?>\n", "?>\n<!-- before -->\n<?style x?>\n")},
      {"cdata and references", Replaced(book, "Ледяной маяк", "<![CDATA[a < b]]> &amp; &#x41F;&#1088; &lt;")},
      {"preserved blanks", Replaced(book, "<annotation>", "<annotation xml:space=\"preserve\">  \n ")},
      {"blanks in mixed content", Replaced(book, "<emphasis>mid</emphasis>", " <emphasis>mid</emphasis> <a/> ")},
      {"empty elements", Replaced(book, "<lang>ru</lang>", "<lang/><src-lang></src-lang><keywords> </keywords>")},
      {"prefixed top", Replaced(Replaced(book, "<FictionBook xmlns=", "<fb:FictionBook xmlns:fb="),
                                "</FictionBook>", "</fb:FictionBook>")},
      {"no namespace", "<FictionBook><description><title-info><book-title>T</book-title><author><last-name>L"
                       "</last-name></author></title-info></description><body><p>12345</p></body></FictionBook>"},
      {"lower-case top", "<fictionbook><description/></fictionbook>"},
      {"html", "<?xml version=\"1.0\" encoding=\"UTF-8\"?><html><body><p>x</p></body></html>"},
      {"empty", ""},
      {"text", "This is not XML at all.\nJust words.\n"},
      {"binary", junk},
      {"truncated", book.substr(0, book.size() / 2)},
      {"entity expansion", laughs},
      {"undeclared prefix", Replaced(book, "<sequence name=\"Saga\"", "<sequence q:name=\"Saga\"")},
      {"cp1251 bytes declared UTF-8", Replaced(book, "Ледяной маяк", "\xCB\xE5\xE4")},
      {"declared cp1251", Replaced(Recode(book, "WINDOWS-1251"), "UTF-8", "windows-1251")},
      {"unknown encoding", Replaced(book, "UTF-8", "x-no-such-encoding")},
      {"UTF-16 big-endian", "\xFE\xFF" + Recode(Replaced(book, "UTF-8", "UTF-16"), "UTF-16BE")},
  };
  std::vector<Book> books;
  int n = 0;
  for (const auto& [label, text] : table) {
    const std::string name = "w" + std::to_string(++n);
    books.push_back({label, name + ".fb2", {}, text});
    if (n % 3 == 1) books.push_back({label + " (archived)", name + ".zip", {}, ziptest::Build({Item("b.fb2", text)})});
  }
  books.push_back({"archive with a folder", "folders.fbz", {}, ziptest::Build({Item("docs/", "", 0), Item("docs/b.fb2", book)})});
  books.push_back({"stored entry", "stored.zip", {}, ziptest::Build({Item("b.fb2", book, 0)})});
  books.push_back({"no book in the archive", "none.zip", {}, ziptest::Build({Item("notes.txt", book)})});
  books.push_back({"not an archive", "fake.zip", {}, "PK\x03\x04 not really"});
  return books;
}

TEST(BothBackends, AgreeOnTheRealWorldCorpus) {
  if (!CorpusPresent()) GTEST_SKIP() << CorpusAbsentMessage();
  CompareBooks("corpus", BooksIn(Corpus(), ""));
}

TEST(BothBackends, AgreeOnTheWildBooks) {
  if (!fs::exists(WildBooks())) GTEST_SKIP() << CorpusAbsentMessage();
  CompareBooks("wild books", BooksIn(WildBooks(), "wild/"));
}

// The sample books, the test fixtures on disk (archives broken in every way included) and
// the books the tests write.
TEST(BothBackends, AgreeOnTheProjectsBooks) {
  std::vector<Book> books = BooksIn(Samples(), "samples/");
  for (Book& b : BooksIn(fs::path(VELARIN_SOURCE_DIR) / "tests" / "data" / "archives", "tests/data/archives/"))
    books.push_back(std::move(b));
  for (Book& b : WrittenBooks()) books.push_back(std::move(b));
  CompareBooks("project books", books);
}

TEST(BothBackends, AgreeOnGeneratedBooks) { CompareBooks("generated books", GeneratedBooks()); }

}  // namespace
}  // namespace velarin::moduletest
