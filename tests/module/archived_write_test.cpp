// Module tests: edits of books inside .zip and .fbz archives reach the book's entry, and nothing else changes.
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "archive/ZipArchiver.h"
#include "fixtures.h"
#include "module_host.h"
#include "platform/codepage.h"
#include "archive_fixtures.h"
#include "tests/archive/testutil.h"

namespace velarin::moduletest {
namespace {

// Bytes that do not compress, like an image.
std::string Binary(size_t size, unsigned seed) {
  std::mt19937 gen(seed);
  std::string s(size, '\0');
  for (char& c : s) c = char(gen() & 0xFF);
  return s;
}

// ---- what an archive holds, read back independently of the module ----

struct Stored {
  std::string name;  // UTF-8
  std::string data;  // uncompressed; empty for folders
  uint16_t flags = 0, method = 0;
  uint32_t crc = 0, attributes = 0;
  std::string comment, extra;
  uint64_t offset = 0, packed = 0;
};

struct Contents {
  std::vector<Stored> entries;
  std::string comment;
  bool ok = false;
};

// Every entry through the archive component, the directory taken strictly as written
// (a damaged one fails instead of being rebuilt from the local headers).
Contents ReadArchive(const std::string& path) {
  Contents c;
  try {
    archive::TZipArchiver zip;
    zip.TolerantOpen = false;
    zip.FileName = platform::SysToWide(path);
    zip.Open(archive::openRead);
    c.comment = zip.ArchiveComment();
    for (int32_t i = 0; i < zip.EntryCount(); ++i) {
      const archive::TDirItem& e = zip.Entry(i);
      Stored s;
      s.name = platform::WideToUtf8(e.Name);
      s.flags = e.Header.Flags;
      s.method = e.Header.Method;
      s.crc = e.Header.Crc32;
      s.attributes = e.Header.ExternalAttributes;
      s.comment = e.Comment;
      for (const archive::TZAExtraField& f : e.ExtraFields)
        s.extra += std::to_string(f.HeaderID) + ":" + f.Data + ";";
      s.offset = e.LocalHeaderOffset();
      s.packed = e.CompressedSize();
      if (!e.Name.empty() && e.Name.back() != u'/') s.data = zip.ReadEntryText(e.Name);
      c.entries.push_back(std::move(s));
    }
    zip.Close();
    c.ok = true;
  } catch (const std::exception& e) {
    ADD_FAILURE() << path << " does not read as an archive: " << e.what();
  }
  return c;
}

uint32_t Le16(const std::string& b, size_t at) { return uint32_t(uint8_t(b[at])) | uint32_t(uint8_t(b[at + 1])) << 8; }

// The entry's whole local record (header, name, extra field, data) as it lies in the file.
std::string LocalRecord(const std::string& bytes, const Stored& s) {
  if (s.offset + 30 > bytes.size() || bytes.compare(size_t(s.offset), 4, "PK\x03\x04") != 0) return "<no local header>";
  const uint64_t size = 30 + Le16(bytes, size_t(s.offset) + 26) + Le16(bytes, size_t(s.offset) + 28) + s.packed;
  if (s.offset + size > bytes.size()) return "<record past the end>";
  return bytes.substr(size_t(s.offset), size_t(size));
}

#ifndef _WIN32
std::string Quote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

void ExpectToolsAccept(const std::string& path) { EXPECT_EQ(ziptest::IndependentTestersReject(path), ""); }

// The entry's bytes as the unzip tool extracts them.
std::string Unzipped(const std::string& path, const std::string& entry) {
  FILE* p = ::popen(("unzip -p " + Quote(path) + " " + Quote(entry) + " 2> /dev/null").c_str(), "r");
  if (!p) return "<popen failed>";
  std::string out;
  char buffer[8192];
  for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, p)) > 0;) out.append(buffer, n);
  return ::pclose(p) == 0 ? out : "<unzip failed>";
}
#endif

// Points the module's temporary folder, where a commit keeps the archive's tail, at dir.
class SaveTempFolder {
 public:
  explicit SaveTempFolder(const fs::path& dir) {
#ifdef _WIN32
    std::wstring old(32768, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"TMP", old.data(), DWORD(old.size()));
    had_ = n > 0 && n < old.size();
    if (had_) old_ = old.substr(0, n);
    SetEnvironmentVariableW(L"TMP", dir.wstring().c_str());
#else
    const char* old = std::getenv("TMPDIR");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv("TMPDIR", dir.c_str(), 1);
#endif
  }
  ~SaveTempFolder() {
#ifdef _WIN32
    SetEnvironmentVariableW(L"TMP", had_ ? old_.c_str() : nullptr);
#else
    if (had_) ::setenv("TMPDIR", old_.c_str(), 1);
    else ::unsetenv("TMPDIR");
#endif
  }
  SaveTempFolder(const SaveTempFolder&) = delete;
  SaveTempFolder& operator=(const SaveTempFolder&) = delete;

 private:
  bool had_ = false;
  fs::path::string_type old_;
};

size_t FilesIn(const fs::path& dir) {
  size_t n = 0;
  for (const auto& e : fs::directory_iterator(dir)) n += e.is_regular_file();
  return n;
}

// The fields besides the title, as a host reads them.
std::vector<Answer> OtherFields(ModuleHost& host, const std::string& file) {
  static const std::pair<int, int> kFields[] = {
      {tAuthor, 0}, {tAuthor, 1}, {tAuthor, 2}, {tAuthors, 0}, {tSeries, 0},  {tSeries, 1},        {tFirstSeries, 0},
      {tGenres, 0}, {tMiddle, 0}, {tSize, 0},   {tEncoding, 0}, {tGenre, 1}, {tAnnotationNode, 0}};
  std::vector<Answer> out;
  for (const auto& [field, unit] : kFields) out.push_back(host.Get(file, field, unit));
  return out;
}

void ExpectSameAnswers(const std::vector<Answer>& got, const std::vector<Answer>& expected) {
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].code, expected[i].code) << "answer " << i;
    EXPECT_EQ(got[i].text, expected[i].text) << "answer " << i;
    EXPECT_EQ(got[i].number, expected[i].number) << "answer " << i;
  }
}

std::string Label(std::string name) {
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

// --- every save trigger, every packing: the edit is in the entry after a fresh start-up ---

struct Packing {
  const char* label;
  const char* suffix;  // of the archive's name
  const char* entry;   // the book's stored name
  uint16_t method;
  uint16_t flags;
};

enum class Trigger {
  LastFieldFlag, WriteToPlainBook, WriteToOtherArchive, EndOfBatch, EndOfBatchNullName, EndOfBatchFieldOnly,
  EndOfBatchNameOnly
};

struct TriggerCase {
  const char* label;
  Trigger trigger;
};

// Readable parameters in the test listing.
void PrintTo(const Packing& p, std::ostream* os) { *os << p.label; }
void PrintTo(const TriggerCase& t, std::ostream* os) { *os << t.label; }

class ArchivedSave : public ::testing::TestWithParam<std::tuple<Packing, TriggerCase>> {};

TEST_P(ArchivedSave, EditReachesTheEntryAndSurvivesAFreshStartUp) {
  const auto& [packing, trigger] = GetParam();
  const Trigger t = trigger.trigger;
  ModuleHost host(kTestSettings);
  const fs::path temp = host.Dir() / "tmp";
  fs::create_directories(temp);
  SaveTempFolder saves(temp);
  const std::string readme = "read me first\n", cover = Binary(20000, 7);
  const std::vector<ziptest::Entry> entries = {Item("readme.txt", readme),
                                               Item(packing.entry, kBook, packing.method, packing.flags),
                                               Item("cover.png", cover, 0)};
  const std::string archive = host.Put(std::string("book") + packing.suffix, ziptest::Build(entries));
  const std::string elsewhere = host.Put("elsewhere.fb2", kBook);
  const std::string original = ReadFile(archive);
  const std::vector<Answer> before = OtherFields(host, host.Put("twin.fb2", kBook));
  const std::string title = "Новое имя, 2-е издание";

  ASSERT_EQ(host.Set(archive, tTitle, 0, Sys(title), t == Trigger::LastFieldFlag ? setFlagLastField : 0), ftSetSuccess);
  if (t != Trigger::LastFieldFlag) {
    EXPECT_EQ(ReadFile(archive), original) << "saved before the trigger";
  }
  std::string otherArchive;
  switch (t) {
    case Trigger::LastFieldFlag: break;
    case Trigger::WriteToPlainBook:
      ASSERT_EQ(host.Set(elsewhere, tTitle, 0, "Elsewhere"), ftSetSuccess);
      break;
    case Trigger::WriteToOtherArchive:
      otherArchive = host.Put("other.fbz", ziptest::Build({Item("other.fb2", kBook)}));
      ASSERT_EQ(host.Set(otherArchive, tTitle, 0, "Other", setFlagLastField), ftSetSuccess);
      break;
    case Trigger::EndOfBatch:
      EXPECT_EQ(host.EndBatch(), ftFileError);
      break;
    case Trigger::EndOfBatchNullName:
      EXPECT_EQ(host.Module().SetValue(nullptr, -1, 0, 0, nullptr, 0), ftFileError);
      break;
    case Trigger::EndOfBatchFieldOnly:
      // the name given is not the one saved: the end of the batch saves the current file
      EXPECT_EQ(host.Module().SetValue(elsewhere.c_str(), -1, 0, ftString, "x", 0), ftFileError);
      break;
    case Trigger::EndOfBatchNameOnly:
      EXPECT_EQ(host.Module().SetValue("", tTitle, 0, ftString, "x", 0), ftFileError);
      break;
  }

  const std::string saved = ReadFile(archive);
  EXPECT_NE(saved, original) << "the trigger saved nothing";
  const Contents now = ReadArchive(archive);
  ASSERT_TRUE(now.ok);
  ASSERT_EQ(now.entries.size(), entries.size()) << "no entry added or lost";
  for (size_t i = 0; i < entries.size(); ++i)
    EXPECT_EQ(now.entries[i].name, entries[i].name) << "entry " << i;
  EXPECT_EQ(now.entries[0].data, readme);
  EXPECT_EQ(now.entries[2].data, cover);
  EXPECT_NE(now.entries[1].data.find(Kept(title)), std::string::npos) << now.entries[1].data;
  EXPECT_EQ(now.entries[1].data.find("Ледяной маяк"), std::string::npos);
  EXPECT_EQ(FilesIn(temp), 0u) << "the commit left its tail file behind";
#ifndef _WIN32
  ExpectToolsAccept(archive);
#endif

  host.Reload();
  EXPECT_EQ(host.Text(archive, tTitle), Sys(title));
  ExpectSameAnswers(OtherFields(host, archive), before);
  EXPECT_EQ(ReadFile(elsewhere), kBook) << "a pending edit of the plain book is lost at unload, and nothing else"
                                           " wrote to it";
  if (!otherArchive.empty()) {
    EXPECT_EQ(host.Text(otherArchive, tTitle), "Other");
  }
  host.EndBatch();
  EXPECT_EQ(ReadFile(archive), saved) << "reads after the save wrote nothing";
}

INSTANTIATE_TEST_SUITE_P(
    Triggers, ArchivedSave,
    ::testing::Combine(
        ::testing::Values(Packing{"zip_deflated", ".zip", "book.fb2", 8, 0},
                          Packing{"fbz_stored", ".fbz", "book.fb2", 0, 0},
                          Packing{"zip_stored_in_folder", ".zip", "books/2024/book.fb2", 0, 0},
                          Packing{"fbz_deflated_in_folder", ".fbz", "library/book.fb2", 8, 0},
                          Packing{"upper_case_zip_utf8_folder", ".ZIP", "книги/том 1/книга.fb2", 8, 0x800}),
        ::testing::Values(TriggerCase{"last_field_flag", Trigger::LastFieldFlag},
                          TriggerCase{"write_to_plain_book", Trigger::WriteToPlainBook},
                          TriggerCase{"write_to_other_archive", Trigger::WriteToOtherArchive},
                          TriggerCase{"end_of_batch", Trigger::EndOfBatch},
                          TriggerCase{"end_of_batch_null_name", Trigger::EndOfBatchNullName},
                          TriggerCase{"end_of_batch_field_only", Trigger::EndOfBatchFieldOnly},
                          TriggerCase{"end_of_batch_name_only", Trigger::EndOfBatchNameOnly})),
    [](const auto& info) {
      return Label(std::string(std::get<0>(info.param).label) + "_" + std::get<1>(info.param).label);
    });

// --- the other entries of the archive keep their bytes ---

TEST(ArchivedSaveKeeps, EveryOtherEntryByteForByteOverTwoSaves) {
  ModuleHost host(kTestSettings);
  const fs::path temp = host.Dir() / "tmp";
  fs::create_directories(temp);
  SaveTempFolder saves(temp);
  std::vector<ziptest::Entry> entries = {
      Item("cover.jpg", "\xFF\xD8\xFF\xE0" + Binary(50000, 1), 0), Item("notes/", "", 0),
      Item("notes/readme.txt", "Cover by the author.\r\nText by the author.\r\n"), Item("book.fb2", kBook),
      Item("notes/errata.txt", std::string(3000, 'e'), 0), Item("images/map.png", "\x89PNG" + Binary(9000, 2))};
  entries[0].comment = "front cover";
  entries[0].extra = std::string("UT\x05\x00\x01\x10\x20\x30\x40", 9);  // an extended time stamp
  entries[1].attributes = 0x10;
  entries[2].attributes = 0x21;
  const size_t book = 3;
  const std::string archive = host.Put("kept.fb2.zip", ziptest::Build(entries, "the archive's own comment"));
  const std::string original = ReadFile(archive);
  const Contents before = ReadArchive(archive);
  ASSERT_TRUE(before.ok);
  ASSERT_EQ(before.entries.size(), entries.size());

  const auto expectKept = [&](const char* when) {
    SCOPED_TRACE(when);
    const std::string bytes = ReadFile(archive);
    EXPECT_NE(bytes, original);
    const size_t bookAt = size_t(before.entries[book].offset);
    EXPECT_EQ(bytes.substr(0, bookAt), original.substr(0, bookAt)) << "what lies before the book is not rewritten";
    const Contents now = ReadArchive(archive);
    ASSERT_TRUE(now.ok);
    EXPECT_EQ(now.comment, "the archive's own comment");
    ASSERT_EQ(now.entries.size(), before.entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
      const Stored &was = before.entries[i], &is = now.entries[i];
      EXPECT_EQ(is.name, was.name) << i;
      if (i == book) continue;
      EXPECT_EQ(is.data, entries[i].data) << was.name;
      EXPECT_EQ(is.method, was.method) << was.name;
      EXPECT_EQ(is.flags, was.flags) << was.name;
      EXPECT_EQ(is.crc, was.crc) << was.name;
      EXPECT_EQ(is.attributes, was.attributes) << was.name;
      EXPECT_EQ(is.comment, was.comment) << was.name;
      EXPECT_EQ(is.extra, was.extra) << was.name;
      EXPECT_EQ(LocalRecord(bytes, is), LocalRecord(original, was)) << was.name << ": local record copied as it was";
#ifndef _WIN32
      if (!entries[i].data.empty()) {
        EXPECT_EQ(Unzipped(archive, was.name), entries[i].data) << was.name;
      }
#endif
    }
    EXPECT_EQ(FilesIn(temp), 0u) << "the commit left its tail file behind";
#ifndef _WIN32
    ExpectToolsAccept(archive);
#endif
  };

  ASSERT_EQ(host.Set(archive, tTitle, 0, "First save", setFlagLastField), ftSetSuccess);
  expectKept("after the first save");
  EXPECT_NE(ReadArchive(archive).entries[book].data.find("First save"), std::string::npos);
  // the same document again (held since the first write): a second commit over the rewritten archive
  ASSERT_EQ(host.Set(archive, tAuthor, 1, "Lund", setFlagLastField), ftSetSuccess);
  expectKept("after the second save");
  host.Reload();
  EXPECT_EQ(host.Text(archive, tTitle), "First save");
  EXPECT_EQ(host.Text(archive, tAuthor, 1), "Lund");
  EXPECT_EQ(host.Text(archive, tAuthor, 0), "Berg");
  EXPECT_EQ(host.Get(archive, tSize).number, kBookBodyCount);
}

// --- which book is written when the archive holds two ---

struct TwoBooks {
  const char* label;
  const char* first;
  const char* second;
};

void PrintTo(const TwoBooks& b, std::ostream* os) { *os << b.first << " then " << b.second; }

class ArchivedSaveChoice : public ::testing::TestWithParam<TwoBooks> {};

TEST_P(ArchivedSaveChoice, FirstBookFoundIsWrittenTheOtherIsNotTouched) {
  ModuleHost host(kTestSettings);
  const std::string second = Retitled("Second");
  const std::string archive = host.Put(
      "two.zip", ziptest::Build({Item("readme.txt", "two books"), Item(GetParam().first, Retitled("First")),
                                 Item(GetParam().second, second)}));
  const std::string original = ReadFile(archive);
  const Contents before = ReadArchive(archive);
  ASSERT_EQ(host.Text(archive, tTitle), "First");
  ASSERT_EQ(host.Set(archive, tTitle, 0, "Changed", setFlagLastField), ftSetSuccess);
  const Contents now = ReadArchive(archive);
  ASSERT_TRUE(now.ok);
  ASSERT_EQ(now.entries.size(), 3u);
  EXPECT_EQ(now.entries[1].name, GetParam().first);
  EXPECT_NE(now.entries[1].data.find("Changed"), std::string::npos);
  EXPECT_EQ(now.entries[2].name, GetParam().second);
  EXPECT_EQ(now.entries[2].data, second);
  EXPECT_EQ(LocalRecord(ReadFile(archive), now.entries[2]), LocalRecord(original, before.entries[2]));
#ifndef _WIN32
  ExpectToolsAccept(archive);
#endif
  host.Reload();
  EXPECT_EQ(host.Text(archive, tTitle), "Changed");
}

INSTANTIATE_TEST_SUITE_P(Layouts, ArchivedSaveChoice,
                         ::testing::Values(TwoBooks{"both_in_the_root", "first.fb2", "second.fb2"},
                                           TwoBooks{"first_in_a_folder", "a/first.fb2", "second.fb2"},
                                           TwoBooks{"second_in_a_folder", "first.fb2", "z/second.fb2"},
                                           TwoBooks{"names_out_of_order", "z.fb2", "a.fb2"}),
                         [](const auto& info) { return std::string(info.param.label); });

// --- archives that a save must leave as they are ---

struct Untouched {
  ModuleHost& host;
  std::string archive;   // a valid archive with a book and other entries
  std::string noBook;    // a valid archive without a book
  std::string plain;     // a plain book
  std::string expected;  // what the archive must hold afterwards
};

struct UntouchedCase {
  const char* label;
  std::function<void(Untouched&)> run;
};

void PrintTo(const UntouchedCase& c, std::ostream* os) { *os << c.label; }

class ArchivedSaveLeaves : public ::testing::TestWithParam<UntouchedCase> {};

TEST_P(ArchivedSaveLeaves, ArchiveKeepsItsBytes) {
  ModuleHost host(kTestSettings);
  const fs::path temp = host.Dir() / "tmp";
  fs::create_directories(temp);
  SaveTempFolder saves(temp);
  Untouched u{host,
              host.Put("book.zip", ziptest::Build({Item("readme.txt", "hello"), Item("book.fb2", kBook),
                                                   Item("cover.png", Binary(4000, 3), 0)})),
              host.Put("none.fbz", ziptest::Build({Item("notes.txt", kBook), Item("book.fb2.bak", kBook),
                                                   Item("fb2/", "", 0), Item("cover.png", Binary(4000, 4), 0)})),
              host.Put("plain.fb2", kBook),
              ""};
  u.expected = ReadFile(u.archive);
  const std::string noBookBefore = ReadFile(u.noBook);
  GetParam().run(u);
  EXPECT_EQ(ReadFile(u.archive), u.expected);
  EXPECT_EQ(ReadFile(u.noBook), noBookBefore);
  EXPECT_EQ(FilesIn(temp), 0u) << "a tail file was left behind";
}

const UntouchedCase kUntouched[] = {
    {"write_to_an_archive_without_book",
     [](Untouched& u) {
       // the write answers as for a book that cannot be loaded
       EXPECT_EQ(u.host.Set(u.noBook, tTitle, 0, "Never", setFlagLastField), ftFileError);
       EXPECT_EQ(u.host.Set(u.noBook, tTitle, 0, "Never", 0), ftFileError);
       EXPECT_EQ(u.host.Set(u.noBook, tAuthor, -1, "Never", 0), ftFileError);
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
       EXPECT_EQ(u.host.Get(u.noBook, tTitle).code, ftFileError);
     }},
    {"book_gone_before_the_save",
     [](Untouched& u) {
       ASSERT_EQ(u.host.Set(u.archive, tTitle, 0, "Pending"), ftSetSuccess);
       // another program repacks the archive without the book while the edit is pending
       u.expected = ziptest::Build({Item("readme.txt", "hello"), Item("book.txt", kBook)});
       WriteFile(u.archive, u.expected);
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
     }},
    {"archive_replaced_by_something_else",
     [](Untouched& u) {
       ASSERT_EQ(u.host.Set(u.archive, tTitle, 0, "Pending"), ftSetSuccess);
       u.expected = std::string("not an archive at all, ") + kBook;
       WriteFile(u.archive, u.expected);
       EXPECT_EQ(u.host.Set(u.archive, tTitle, 0, "Pending", setFlagLastField), ftSetSuccess)
           << "the held document takes the write";
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
     }},
    {"read_then_end_of_batch",
     [](Untouched& u) {
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк"));
       EXPECT_EQ(u.host.Get(u.archive, tSize).number, kBookBodyCount);
       EXPECT_EQ(u.host.Text(u.archive, tEncoding), "UTF-8");
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
     }},
    {"read_then_write_to_another_file",
     [](Untouched& u) {
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк"));
       EXPECT_EQ(u.host.Set(u.plain, tTitle, 0, "Plain", setFlagLastField), ftSetSuccess);
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
       EXPECT_EQ(u.host.Text(u.plain, tTitle), "Plain");
     }},
    {"refused_writes_after_a_read",
     [](Untouched& u) {
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк"));
       EXPECT_EQ(u.host.Set(u.archive, tAuthors, 0, "Template field", setFlagLastField), ftFileError);
       EXPECT_EQ(u.host.Set(u.archive, tSize, 0, "12", setFlagLastField), ftFileError);
       EXPECT_EQ(u.host.Set(u.archive, kTestFieldCount + 3, 0, "No such field", setFlagLastField), ftFileError);
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
     }},
    {"pending_edit_discarded_by_a_read_of_another_file",
     [](Untouched& u) {
       ASSERT_EQ(u.host.Set(u.archive, tTitle, 0, "Discarded"), ftSetSuccess);
       EXPECT_EQ(u.host.Text(u.plain, tTitle), Sys("Ледяной маяк"));
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк"));
     }},
    {"half_truncated_archive",
     [](Untouched& u) {
       // cut halfway through the cover after the book: only the local headers can be read
       const std::string whole = ReadFile(u.archive);
       u.expected = whole.substr(0, whole.rfind(std::string("PK\x03\x04", 4)) + 30 + 9 + 2000);
       WriteFile(u.archive, u.expected);
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк")) << "the book is still read";
       EXPECT_EQ(u.host.Set(u.archive, tTitle, 0, "Never", setFlagLastField), ftSetSuccess)
           << "a failed save is not reported";
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
     }},
    {"book_name_too_long_for_its_unicode_name_block",
     [](Untouched& u) {
       // 32,762 characters: the name fits its field, the Unicode name block written with it would not
       u.expected = ziptest::Build({Item("readme.txt", "hello"), Item(std::string(32758, 'x') + ".fb2", kBook)});
       WriteFile(u.archive, u.expected);
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк"));
       EXPECT_EQ(u.host.Set(u.archive, tTitle, 0, "Never", setFlagLastField), ftSetSuccess)
           << "a failed save is not reported";
       EXPECT_EQ(u.host.EndBatch(), ftFileError);
     }},
    {"pending_edit_lost_at_unload",
     [](Untouched& u) {
       ASSERT_EQ(u.host.Set(u.archive, tTitle, 0, "Lost"), ftSetSuccess);
       u.host.Reload();
       EXPECT_EQ(u.host.Text(u.archive, tTitle), Sys("Ледяной маяк"));
     }},
};

INSTANTIATE_TEST_SUITE_P(Cases, ArchivedSaveLeaves, ::testing::ValuesIn(kUntouched),
                         [](const auto& info) { return std::string(info.param.label); });

// --- archives with bytes in front, entries out of order or an untidy end, as tools leave them ---

uint32_t Le32(const std::string& b, size_t at) { return Le16(b, at) | Le16(b, at + 2) << 16; }

// Local headers as a streaming writer leaves them: CRC-32 and sizes deferred to a descriptor.
std::string DeferredLocalFields(std::string a) {
  const std::string sig("PK\x03\x04", 4);
  for (size_t at = a.find(sig); at != std::string::npos; at = a.find(sig, at + 4))
    if (Le16(a, at + 6) & 8) a.replace(at + 14, 12, std::string(12, '\0'));
  return a;
}

// The central records in reverse order: the first one listed is stored last.
std::string DirectoryReversed(const std::string& a) {
  const size_t end = a.rfind(std::string("PK\x05\x06", 4)), start = size_t(Le32(a, end + 16));
  std::vector<std::string> records;
  for (size_t at = start; at < end;) {
    const size_t size = 46 + Le16(a, at + 28) + Le16(a, at + 30) + Le16(a, at + 32);
    records.push_back(a.substr(at, size));
    at += size;
  }
  std::string out = a.substr(0, start);
  for (size_t i = records.size(); i-- > 0;) out += records[i];
  return out + a.substr(end);
}

std::string CommentLengthPastTheEnd(std::string a) {
  const size_t end = a.rfind(std::string("PK\x05\x06", 4));
  a[end + 20] = char(uint8_t(a[end + 20]) + 40);
  return a;
}

struct Shape {
  const char* label;
  std::function<std::string(const std::string&)> make;
};

void PrintTo(const Shape& s, std::ostream* os) { *os << s.label; }

class ArchivedShape : public ::testing::TestWithParam<Shape> {};

// The book reads; an edit writes an archive the testers accept in which every other entry
// keeps its data, attributes and comment, and the archive its comment.
TEST_P(ArchivedShape, BookReadsAndAnEditKeepsEverythingElse) {
  ModuleHost host(kTestSettings);
  const fs::path temp = host.Dir() / "tmp";
  fs::create_directories(temp);
  SaveTempFolder saves(temp);
  std::vector<ziptest::Entry> entries = {Item("docs/", "", 0), Item("docs/readme.txt", "read me\n", 8, 8),
                                         Item("book.fb2", kBook, 8, 8), Item("cover.png", Binary(6000, 5), 0),
                                         Item("empty.txt", "", 0)};
  entries[0].attributes = 0x41ED0010u;
  entries[1].attributes = 0x81A40000u;
  entries[1].comment = "the readme";
  entries[3].attributes = 0x81ED0000u;
  entries[3].comment = "the cover";
  const std::string archive = host.Put("shaped.fbz", GetParam().make(ziptest::Build(entries, "archive comment")));
  const Contents before = ReadArchive(archive);
  ASSERT_TRUE(before.ok);
  ASSERT_EQ(host.Text(archive, tTitle), Sys("Ледяной маяк"));
  ASSERT_EQ(host.Set(archive, tTitle, 0, "Edited", setFlagLastField), ftSetSuccess);

  const Contents now = ReadArchive(archive);
  ASSERT_TRUE(now.ok);
  EXPECT_EQ(now.comment, "archive comment");
  ASSERT_EQ(now.entries.size(), before.entries.size());
  for (size_t i = 0; i < now.entries.size(); ++i) {
    const Stored &was = before.entries[i], &is = now.entries[i];
    ASSERT_EQ(is.name, was.name);
    if (is.name == "book.fb2") {
      EXPECT_NE(is.data.find("Edited"), std::string::npos);
      continue;
    }
    EXPECT_EQ(is.data, was.data) << is.name;
    EXPECT_EQ(is.attributes, was.attributes) << is.name;
    EXPECT_EQ(is.comment, was.comment) << is.name;
  }
  EXPECT_EQ(FilesIn(temp), 0u);
#ifndef _WIN32
  ExpectToolsAccept(archive);
  EXPECT_EQ(Unzipped(archive, "cover.png"), entries[3].data);
#endif
  host.Reload();
  EXPECT_EQ(host.Text(archive, tTitle), "Edited");
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ArchivedShape,
    ::testing::Values(
        Shape{"stub_in_front", [](const std::string& a) { return "MZ" + std::string(3000, '\x90') + a; }},
        Shape{"stub_in_front_of_streamed_entries",
              [](const std::string& a) { return std::string(777, 's') + DeferredLocalFields(a); }},
        Shape{"first_listed_entry_stored_last", DirectoryReversed},
        Shape{"stub_and_first_listed_entry_stored_last",
              [](const std::string& a) { return std::string(500, 's') + DirectoryReversed(a); }},
        Shape{"stray_bytes_after_the_end", [](const std::string& a) { return a + "\r\n-- stray --\r\n"; }},
        Shape{"comment_length_past_the_end", CommentLengthPastTheEnd}),
    [](const auto& info) { return std::string(info.param.label); });

#ifndef _WIN32
// zip's zip64 records behind a stub: the locator counts from the archive's start, not the file's.
TEST(ArchivedShapeByTool, StubInFrontOfAZip64Archive) {
  ModuleHost host(kTestSettings);
  if (std::system("zip -v > /dev/null 2>&1") != 0) GTEST_SKIP() << "no zip tool";
  const fs::path folder = host.Dir() / "src";
  fs::create_directories(folder);
  WriteFile(folder / "book.fb2", kBook);
  WriteFile(folder / "cover.png", Binary(5000, 9));
  const std::string archive = (host.Dir() / "z64.zip").string();
  ASSERT_EQ(std::system(("cd " + Quote(folder.string()) + " && zip -q -fz plain.zip book.fb2 cover.png && "
                         "printf 'MZ stub%04000d' 0 > stub && cat stub plain.zip > " + Quote(archive)).c_str()),
            0);
  ASSERT_EQ(host.Text(archive, tTitle), Sys("Ледяной маяк"));
  ASSERT_EQ(host.Set(archive, tTitle, 0, "Edited", setFlagLastField), ftSetSuccess);
  ExpectToolsAccept(archive);
  EXPECT_EQ(Unzipped(archive, "cover.png"), ReadFile(folder / "cover.png"));
  host.Reload();
  EXPECT_EQ(host.Text(archive, tTitle), "Edited");
}
#endif

// --- saves that fail: the archive stays as it was, the edit stays in memory ---

class ArchivedSaveFails : public ::testing::Test {
 protected:
  ModuleHost host_{kTestSettings};
  std::string archive_ = host_.Put(
      "book.fbz", ziptest::Build({Item("readme.txt", "hello"), Item("book.fb2", kBook), Item("z.txt", "after")}));
};

TEST_F(ArchivedSaveFails, ReadOnlyArchiveIsNotWritten) {
  // Refused for every user, root included, like a read-only plain book.
  const std::string original = ReadFile(archive_);
  fs::permissions(archive_, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  // save failures are not reported: the write answers 0
  EXPECT_EQ(host_.Set(archive_, tTitle, 0, "Locked", setFlagLastField), ftSetSuccess);
  EXPECT_EQ(ReadFile(archive_), original);
  EXPECT_EQ(host_.Text(archive_, tTitle), "Locked") << "the edit stays in the held document";
  EXPECT_EQ(host_.EndBatch(), ftFileError);
  EXPECT_EQ(ReadFile(archive_), original);
  EXPECT_EQ(host_.Text(archive_, tTitle), Sys("Ледяной маяк"));
}

TEST_F(ArchivedSaveFails, NoRoomForTheTailFileThenALaterSaveWrites) {
  const std::string original = ReadFile(archive_);
  {
    SaveTempFolder saves(host_.Dir() / "no-such-folder");
    EXPECT_EQ(host_.Set(archive_, tTitle, 0, "Kept in memory", setFlagLastField), ftSetSuccess);
    EXPECT_EQ(ReadFile(archive_), original) << "the archive is not cut when its tail cannot be kept";
    EXPECT_EQ(host_.Text(archive_, tTitle), "Kept in memory");
  }
  const fs::path temp = host_.Dir() / "tmp";
  fs::create_directories(temp);
  SaveTempFolder saves(temp);
  // the edit stayed pending: the end of the batch saves it
  EXPECT_EQ(host_.EndBatch(), ftFileError);
  const Contents now = ReadArchive(archive_);
  ASSERT_TRUE(now.ok);
  ASSERT_EQ(now.entries.size(), 3u);
  EXPECT_NE(now.entries[1].data.find("Kept in memory"), std::string::npos);
  EXPECT_EQ(now.entries[2].data, "after");
  EXPECT_EQ(FilesIn(temp), 0u);
#ifndef _WIN32
  ExpectToolsAccept(archive_);
#endif
  host_.Reload();
  EXPECT_EQ(host_.Text(archive_, tTitle), "Kept in memory");
}

}  // namespace
}  // namespace velarin::moduletest
