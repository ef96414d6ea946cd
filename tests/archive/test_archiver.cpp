// The archive object: defaults, Open and its errors, guards, FindEntry, and extraction with its failures.
#include <gtest/gtest.h>

#include <functional>

#include "archive/ZAInternal.h"
#include "testutil.h"
#include "zipbuild.h"

using namespace velarin::archive;
using ziptest::Entry;
using ziptest::NativeOf;
using ziptest::OpenArchive;
using ziptest::TempFile;

namespace {

const std::string kBook = "<FictionBook><body><p>" + std::string(5000, 'x') + "</p></body></FictionBook>";

Entry Stored(const std::string& name, const std::string& data) {
  Entry e;
  e.name = name;
  e.data = data;
  e.method = 0;
  return e;
}
Entry Deflated(const std::string& name, const std::string& data) {
  Entry e;
  e.name = name;
  e.data = data;
  return e;
}

TEST(Archiver, DefaultsAfterConstruction) {
  TZipArchiver z;
  EXPECT_EQ(z.Zip64Mode, zmDisabled);
  EXPECT_EQ(TZABaseArchiver().Zip64Mode, zmAuto);
  EXPECT_TRUE(z.UnicodeFilenames);
  EXPECT_FALSE(z.ExtractCorruptedFiles);
  EXPECT_EQ(z.CompressionLevel(), clFastest);
  EXPECT_EQ(z.SpanningMode(), smNone);
  EXPECT_TRUE(z.TolerantOpen);
  EXPECT_EQ(z.Options.StorePath, spRelativePath);
  EXPECT_TRUE(z.Options.Recurse);
  EXPECT_EQ(z.Options.ShareMode, smShareDenyNone);
  EXPECT_EQ(z.Options.OverwriteMode, omAlways);
  EXPECT_EQ(z.Options.SearchAttr, 10431);
  EXPECT_TRUE(z.Options.OEMFileNames);
  EXPECT_TRUE(z.SpanningOptions.AdvancedNaming);
  EXPECT_FALSE(z.IsOpen());
  EXPECT_TRUE(ziptest::RaisesZAError([&] { z.SetCompressionMode(10); }, zaeCompressionMode, 2,
                                     "Invalid compression mode. Mode must be in [0-9] range - Native error: 00005"));
}

TEST(Archiver, OpenRefusesBlankAndMissingNames) {
  TZipArchiver z;
  EXPECT_TRUE(ziptest::RaisesZAError([&] { z.Open(openRead); }, zaeBlankName, 5,
                                     "File name is blank. Specify appropriate file name - Native error: 00010"));
  EXPECT_EQ(NativeOf([&] { z.Open(); }), zaeBlankNameChoosingMode);
  z.FileName = u"/tmp/somewhere/";
  EXPECT_EQ(NativeOf([&] { z.Open(openRead); }), zaeBlankName);
  z.FileName = u"/nonexistent-velarin/x.zip";
  EXPECT_TRUE(ziptest::RaisesZAError([&] { z.Open(openRead); }, zaeArchiveNotFound, 6,
                                     "File \"/nonexistent-velarin/x.zip\" not found - Native error: 00012"));
  TempFile f("");
  z.FileName = velarin::platform::Utf8ToWide(f.Dir());  // a directory is not an archive file
  EXPECT_EQ(NativeOf([&] { z.Open(openRead); }), zaeArchiveNotFound);
  z.FileName = f.Wide();
  z.SetInMemory(true);
  EXPECT_EQ(NativeOf([&] { z.Open(openRead); }), zaeInMemoryCreateOnly);
  z.FileName.clear();
  EXPECT_EQ(NativeOf([&] { z.SetInMemory(false); }), zaeBlankNameLeavingMemory);
}

TEST(Archiver, GuardsOnAClosedArchiveAndDuringAnUpdate) {
  TZipArchiver z;
  TZAArchiveItem item;
  z.Name = "Zip1";  // the component's name leads its messages
  EXPECT_TRUE(ziptest::RaisesZAError([&] { z.FindEntry(u"*", item, u"", 0x28BF); }, zaeNotOpen, 7,
                                     "Zip1: Archive is not open - Native error: 00013"));
  EXPECT_EQ(NativeOf([&] { z.ReadEntryText(u"x"); }), zaeNotOpen);
  TZipArchiver u;
  TempFile f(ziptest::Build({Stored("a", "1")}));
  u.FileName = f.Wide();
  u.Open(openRead);
  TZAArchiverInternals::EnterUpdate(u);
  EXPECT_EQ(NativeOf([&] { u.ReadEntryText(u"a"); }), zaeUpdateNotEnded);
}

TEST(Archiver, OpenCallsAfterOpenAndCloseIsRepeatable) {
  TempFile f(ziptest::Build({Stored("a.txt", "alpha")}, "the comment"));
  TZipArchiver z;
  int calls = 0;
  z.AfterOpen = [&](TZABaseArchiver& sender) {
    ++calls;
    EXPECT_EQ(&sender, &z);
  };
  z.FileName = f.Wide();
  z.Open(openRead);
  EXPECT_TRUE(z.IsOpen());
  EXPECT_EQ(z.ArchiveComment(), "the comment");
  z.Open(openReadWrite);  // reopening closes first
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(z.ReadEntryText(u"a.txt"), "alpha");
  z.Close();
  z.Close();
  EXPECT_FALSE(z.IsOpen());
  EXPECT_EQ(z.EntryCount(), 0);
}

TEST(Archiver, CreateModeMakesAnEmptyArchive) {
  TempFile f("old content");
  {
    TZipArchiver z;
    z.FileName = f.Wide();
    z.Open(openCreate);
    EXPECT_EQ(z.EntryCount(), 0);
  }
  EXPECT_EQ(ziptest::ReadFileBytes(f.Path()), std::string("PK\x05\x06", 4) + std::string(18, '\0'));
  TZipArchiver again;
  again.FileName = f.Wide();
  again.Open(openRead);
  EXPECT_EQ(again.EntryCount(), 0);
}

TEST(Archiver, ALocatorSignatureInTheLastNameIsNotTakenForZip64) {
  // The 20 bytes before the end record are the tail of the last name, and start like a
  // zip64 locator; the end record needs no zip64 values.
  ziptest::Entry a, b;
  a.name = "a.txt";
  a.data = "first";
  b.name = std::string("b/PK\x06\x07", 6) + "0123456789abcdef";
  b.data = "second";
  ziptest::OpenArchive open(ziptest::Build({a, b}));
  ASSERT_EQ(open.zip.EntryCount(), 2);
  EXPECT_EQ(open.zip.ReadEntryText(u"a.txt"), "first");
}

TEST(FindEntry, FirstMatchInDirectoryOrderAndItsFields) {
  Entry dir = Stored("x.fb2/", "");
  dir.attributes = 0x10;
  Entry book = Deflated("books/Novel.FB2", kBook);
  book.comment = "entry comment";
  OpenArchive a(ziptest::Build({Stored("readme", "r"), book, Deflated("second.fb2", "2"), dir}));
  TZAArchiveItem item;
  ASSERT_TRUE(a.zip.FindEntry(u"*.fb2", item, u"", 0x28BF));
  EXPECT_EQ(item.Search.EntryIndex, 1);
  EXPECT_EQ(item.EntryName, u"Novel.FB2");
  EXPECT_EQ(item.EntryFolder, u"books\\");
  EXPECT_EQ(item.UnpackedSize, int64_t(kBook.size()));
  EXPECT_EQ(item.PackedSize, int64_t(ziptest::RawDeflate(kBook).size()));
  EXPECT_GT(item.SavedPercent, 90.0);
  EXPECT_EQ(item.Crc32, ziptest::Crc(kBook));
  EXPECT_EQ(item.Comment, "entry comment");
  EXPECT_FALSE(item.IsEncrypted);
  EXPECT_EQ(item.DosTime, 0x6000);
  EXPECT_EQ(item.DosDate, 0x5021);
  ASSERT_TRUE(a.zip.FindNextEntry(item));
  EXPECT_EQ(item.EntryName, u"second.fb2");
  ASSERT_TRUE(a.zip.FindNextEntry(item));
  EXPECT_EQ(item.EntryName, u"x.fb2");  // the directory matches once its slash is dropped
  EXPECT_EQ(item.Attributes, 0x10u);
  EXPECT_FALSE(a.zip.FindNextEntry(item));
  EXPECT_FALSE(a.zip.FindEntry(u"", item, u"", 0x28BF));
  EXPECT_FALSE(a.zip.FindEntry(std::u16string(300, u'*'), item, u"", 0x28BF));
}

TEST(FindEntry, DirectoryFirstIsWhatIsFoundAndAttributesFilter) {
  Entry dir = Stored("x.fb2/", "");
  dir.attributes = 0x10;
  Entry hidden = Stored("h.fb2", "h");
  hidden.attributes = 0x22;
  OpenArchive a(ziptest::Build({dir, hidden, Stored("b.fb2", "b")}));
  TZAArchiveItem item;
  ASSERT_TRUE(a.zip.FindEntry(u"*.fb2", item, u"", 0x28BF));
  EXPECT_EQ(item.Search.EntryIndex, 0);
  ASSERT_TRUE(a.zip.FindEntry(u"*.fb2", item, u"", 0x20));  // no directories, no hidden entries
  EXPECT_EQ(item.EntryName, u"b.fb2");
}

TEST(FindEntry, DriveIsDroppedAndRecurseDecidesFolders) {
  OpenArchive a(ziptest::Build({Stored("dir/a.txt", "d"), Stored("books/x.fb2", "x"), Stored("a.txt", "r")}));
  TZAArchiveItem item;
  // The drive goes and backslashes become slashes; a mask starting at the root keeps its slash.
  EXPECT_FALSE(a.zip.FindEntry(u"C:\\books\\*.fb2", item, u"", 0x28BF));
  EXPECT_EQ(std::u16string(item.Search.Mask), u"/books/*.fb2");
  ASSERT_TRUE(a.zip.FindEntry(u"C:books\\*.fb2", item, u"", 0x28BF));
  EXPECT_EQ(item.Search.EntryIndex, 1);
  ASSERT_TRUE(a.zip.FindEntry(u"a.txt", item, u"", 0x28BF));
  EXPECT_EQ(item.Search.EntryIndex, 0);  // the name part of dir/a.txt matches
  a.zip.Options.Recurse = false;
  ASSERT_TRUE(a.zip.FindEntry(u"a.txt", item, u"", 0x28BF));
  EXPECT_EQ(item.Search.EntryIndex, 2);  // only the root qualifies
}

TEST(ReadEntryText, StoredDeflatedAndEmptyEntries) {
  OpenArchive a(ziptest::Build({Stored("s.txt", "stored bytes\r\n\x01"), Deflated("Folder/Book.fb2", kBook),
                                Deflated("empty", ""), Stored("empty2", "")}));
  EXPECT_EQ(a.zip.ReadEntryText(u"s.txt"), "stored bytes\r\n\x01");
  EXPECT_EQ(a.zip.ReadEntryText(u"Folder/Book.fb2"), kBook);
  EXPECT_EQ(a.zip.ReadEntryText(u"FOLDER\\book.FB2"), kBook);  // through the search
  EXPECT_EQ(a.zip.ReadEntryText(u"empty"), "");
  EXPECT_EQ(a.zip.ReadEntryText(u"empty2"), "");
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"Book.fb2"); }), zaeEntryNotFound);  // not at the root
  EXPECT_TRUE(a.zip.Options.Recurse);                                   // restored after the failure
  TZAMemoryStream out;
  EXPECT_EQ(NativeOf([&] { a.zip.UnpackEntry(4, out); }), zaeUnpackIndex);
  EXPECT_EQ(NativeOf([&] { a.zip.UnpackEntry(-1, out); }), zaeUnpackIndex);
}

TEST(ReadEntryText, EqualNamesGiveTheLaterEntry) {
  OpenArchive a(ziptest::Build({Stored("same.txt", "first"), Stored("SAME.txt", "second")}));
  EXPECT_EQ(a.zip.ReadEntryText(u"same.txt"), "second");
}

TEST(ReadEntryText, DamagedEntriesAndExtractCorruptedFiles) {
  Entry badCrc = Deflated("crc", kBook);
  badCrc.declaredCrc = 1234;
  Entry d64 = Deflated("d64", kBook);
  d64.method = 9;
  Entry unknown = Stored("unknown", "abc");
  unknown.method = 14;  // LZMA: not decoded here
  OpenArchive a(ziptest::Build({badCrc, d64, unknown}));
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"crc"); }), zaeBadEntryData);
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"d64"); }), zaeDeflate64);
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"unknown"); }), zaeBadEntryData);
  a.zip.ExtractCorruptedFiles = true;
  EXPECT_EQ(a.zip.ReadEntryText(u"crc"), kBook);
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"d64"); }), zaeDeflate64);
  EXPECT_TRUE(a.zip.IsOpen());
}

TEST(ReadEntryText, OutputPastTheDeclaredSizeStopsAtOnce) {
  Entry bomb = Deflated("bomb", std::string(20 << 20, '\0'));
  bomb.declaredSize = 1000;
  Entry stored = Stored("stored", "0123456789");
  stored.declaredSize = 4;
  OpenArchive a(ziptest::Build({bomb, stored}));
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"bomb"); }), zaeBadEntryData);
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"stored"); }), zaeBadEntryData);
  a.zip.ExtractCorruptedFiles = true;
  EXPECT_EQ(a.zip.ReadEntryText(u"bomb").size(), 1000u);
  EXPECT_EQ(a.zip.ReadEntryText(u"stored"), "0123");
}

// Methods registered for other formats fail at once. Their data here starts like a block
// header with its cipher marker set, which the block decoder would answer with a password
// request.
TEST(ReadEntryText, MethodsOfOtherFormatsFailWithoutAPasswordRequest) {
  std::string header(50, '\0');
  header[16] = 1;     // one block
  header[22] = 0x01;  // cipher marker: enciphered
  std::vector<Entry> entries;
  const uint16_t methods[] = {1, 6, 10, 12, 14, 18, 19, 20, 93, 95, 96, 97, 98, 99};
  for (uint16_t method : methods) {
    Entry e = Stored("m" + std::to_string(method), "data");
    e.method = method;
    e.payload = header + "data";
    entries.push_back(e);
  }
  OpenArchive a(ziptest::Build(entries));
  int asked = 0;
  a.zip.OnPassword = [&](TZABaseArchiver&, const std::u16string&, std::string&, bool&) { ++asked; };
  for (uint16_t method : methods) {
    const std::u16string name = velarin::platform::Utf8ToWide("m" + std::to_string(method));
    EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(name); }), zaeBadEntryData) << method;
  }
  a.zip.ExtractCorruptedFiles = true;
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"m12"); }), zaeBadEntryData);
  EXPECT_EQ(asked, 0);
}

// Traditional encryption of data, as the application note describes it.
std::string Encrypt(const std::string& plain, const std::string& password, uint8_t check) {
  const uint32_t* table = reinterpret_cast<const uint32_t*>(get_crc_table());
  uint32_t k[3] = {0x12345678, 0x23456789, 0x34567890};
  auto update = [&](uint8_t p) {
    k[0] = table[(k[0] ^ p) & 0xFF] ^ (k[0] >> 8);
    k[1] = (k[1] + (k[0] & 0xFF)) * 134775813u + 1;
    k[2] = table[(k[2] ^ (k[1] >> 24)) & 0xFF] ^ (k[2] >> 8);
  };
  for (unsigned char c : password) update(c);
  std::string in = std::string(11, '\x5a') + char(check) + plain, out;
  for (unsigned char p : in) {
    uint32_t t = (k[2] | 2) & 0xFFFF;  // unsigned: the product passes INT_MAX
    out += char(p ^ uint8_t((t * (t ^ 1)) >> 8));
    update(p);
  }
  return out;
}

TEST(ReadEntryText, EncryptedEntriesAskForThePassword) {
  Entry e = Stored("secret.fb2", kBook);
  e.flags = 1;
  e.payload = Encrypt(kBook, "pw", uint8_t(ziptest::Crc(kBook) >> 24));
  Entry d = Deflated("deflated.fb2", kBook);
  d.flags = 1 | 8;  // the check byte is the time's high byte when a descriptor is announced
  d.payload = Encrypt(ziptest::RawDeflate(kBook), "pw", uint8_t(0x6000 >> 8));
  OpenArchive a(ziptest::Build({e, d}));

  // No handler on Linux: the built-in prompt cannot be shown and declines.
  EXPECT_EQ(a.zip.ReadEntryText(u"secret.fb2"), "");
  EXPECT_TRUE(TZAArchiverInternals::SkipFile(a.zip));

  std::vector<std::u16string> asked;
  a.zip.OnPassword = [&](TZABaseArchiver&, const std::u16string& name, std::string& password, bool& skip) {
    asked.push_back(name);
    password = asked.size() == 1 ? "wrong" : "pw";
    skip = false;
  };
  EXPECT_EQ(a.zip.ReadEntryText(u"secret.fb2"), kBook);
  EXPECT_EQ(asked.size(), 2u);  // first with the empty password, then with "wrong"
  EXPECT_EQ(asked[0], u"secret.fb2");
  EXPECT_EQ(a.zip.ReadEntryText(u"deflated.fb2"), kBook);  // "pw" is kept

  a.zip.Password.clear();
  a.zip.OnPassword = [](TZABaseArchiver&, const std::u16string&, std::string&, bool& skip) { skip = true; };
  EXPECT_EQ(a.zip.ReadEntryText(u"deflated.fb2"), "");
}

TEST(Open, StubInFrontWithOrWithoutCorrectedOffsets) {
  std::string plain = ziptest::Build({Deflated("a.fb2", kBook), Stored("b.txt", "bee")});
  std::string stub = "#!/bin/sh\necho stub\n" + std::string(3000, 's');
  OpenArchive a(stub + plain);  // offsets count from the archive, not the file
  EXPECT_EQ(TZAArchiverInternals::Dir(a.zip)->StubSize, int64_t(stub.size()));
  EXPECT_EQ(a.zip.ReadEntryText(u"a.fb2"), kBook);
  EXPECT_EQ(a.zip.ReadEntryText(u"b.txt"), "bee");
}

// Local headers as a streaming writer leaves them: CRC-32 and sizes deferred to a descriptor.
std::string Streamed(std::string archive) {
  for (size_t at = archive.find(std::string("PK\x03\x04", 4)); at != std::string::npos;
       at = archive.find(std::string("PK\x03\x04", 4), at + 4)) {
    if (!(archive[at + 6] & 8)) continue;
    archive.replace(at + 14, 12, std::string(12, '\0'));
  }
  return archive;
}

// The same archive with its central records in reverse order.
std::string DirectoryReversed(const std::string& archive) {
  const size_t end = archive.rfind(std::string("PK\x05\x06", 4));
  const size_t start = archive.find(std::string("PK\x01\x02", 4));
  std::vector<std::string> records;
  for (size_t at = start; at < end;) {
    const size_t n = uint8_t(archive[at + 28]) | uint8_t(archive[at + 29]) << 8;
    const size_t e = uint8_t(archive[at + 30]) | uint8_t(archive[at + 31]) << 8;
    const size_t c = uint8_t(archive[at + 32]) | uint8_t(archive[at + 33]) << 8;
    records.push_back(archive.substr(at, 46 + n + e + c));
    at += 46 + n + e + c;
  }
  std::string out = archive.substr(0, start);
  for (size_t i = records.size(); i-- > 0;) out += records[i];
  return out + archive.substr(end);
}

struct Layout {
  const char* label;
  std::string stub;  // bytes in front of the archive
  std::vector<Entry> entries;
  std::function<std::string(std::string)> change;  // applied to the archive before the stub
};

void PrintTo(const Layout& l, std::ostream* os) { *os << l.label; }

class StubLayout : public testing::TestWithParam<Layout> {};

// Every entry, folders included, is found at its recorded offset plus the stub, and a stub is
// assumed only where entry 0's local header then lies.
TEST_P(StubLayout, EveryEntryIsReadWhereItLies) {
  const Layout& l = GetParam();
  const std::string archive = l.change(ziptest::Build(l.entries));
  OpenArchive a(l.stub + archive);
  EXPECT_EQ(TZAArchiverInternals::Dir(a.zip)->StubSize, int64_t(l.stub.size()));
  ASSERT_EQ(a.zip.EntryCount(), int32_t(l.entries.size()));
  for (int32_t i = 0; i < a.zip.EntryCount(); ++i) {
    const TDirItem& e = a.zip.Entry(i);
    const size_t at = size_t(e.LocalHeaderOffset());
    ASSERT_LT(at + 30, l.stub.size() + archive.size());
    EXPECT_EQ((l.stub + archive).compare(at, 4, "PK\x03\x04"), 0) << "entry " << i;
    const std::string name = velarin::platform::WideToUtf8(e.Name);
    EXPECT_EQ((l.stub + archive).compare(at + 30, name.size(), name), 0) << "entry " << i;
    for (const Entry& x : l.entries) {
      if (x.name == name && x.attributes != 0x10) {
        EXPECT_EQ(a.zip.ReadEntryText(e.Name), x.data) << name;
      }
    }
  }
}

Entry Folder(const std::string& name) {
  Entry e = Stored(name, "");
  e.attributes = 0x10;
  return e;
}
Entry Streaming(Entry e) {
  e.flags |= 8;
  return e;
}
std::string Same(std::string a) { return a; }

INSTANTIATE_TEST_SUITE_P(
    Open, StubLayout,
    testing::Values(
        Layout{"stub_and_folders", std::string(3000, 's'),
               {Folder("lib/"), Deflated("lib/a.fb2", kBook), Folder("lib/img/"), Stored("lib/img/c.txt", "cee")},
               Same},
        Layout{"stub_and_streamed_entries", "MZ" + std::string(777, '\0'),
               {Streaming(Deflated("a.fb2", kBook)), Streaming(Stored("b.txt", "bee"))}, Streamed},
        Layout{"no_stub_first_listed_entry_stored_last", "",
               {Deflated("a.fb2", kBook), Stored("empty.txt", "")}, DirectoryReversed},
        Layout{"stub_and_first_listed_entry_stored_last", std::string(500, 'x'),
               {Deflated("a.fb2", kBook), Stored("empty.txt", ""), Folder("dir/")}, DirectoryReversed}),
    [](const auto& info) { return std::string(info.param.label); });

struct Ending {
  const char* label;
  std::function<std::string(std::string)> change;
  std::string comment;  // the archive comment read
};

void PrintTo(const Ending& e, std::ostream* os) { *os << e.label; }

class UntidyEnding : public testing::TestWithParam<Ending> {};

// The archive is read through its own directory, as other readers read it: the entries keep
// their comments and attributes, which a rebuild from the local headers would lose.
TEST_P(UntidyEnding, ReadThroughItsOwnDirectory) {
  Entry note = Stored("note.txt", "a note");
  note.comment = "the note";
  note.attributes = 0x81A40000u;
  Entry book = Deflated("book.fb2", kBook);
  book.comment = "the book";
  const std::string plain = ziptest::Build({note, book}, "archive comment");
  const size_t directory = plain.find(std::string("PK\x01\x02", 4));
  OpenArchive a(GetParam().change(plain));
  EXPECT_FALSE(TZAArchiverInternals::Dir(a.zip)->Rebuilt);
  EXPECT_EQ(TZAArchiverInternals::Dir(a.zip)->DirectoryOffset, int64_t(directory));
  EXPECT_EQ(a.zip.ArchiveComment(), GetParam().comment);
  ASSERT_EQ(a.zip.EntryCount(), 2);
  EXPECT_EQ(a.zip.Entry(0).Comment, "the note");
  EXPECT_EQ(a.zip.Entry(0).Header.ExternalAttributes, 0x81A40000u);
  EXPECT_EQ(a.zip.Entry(1).Comment, "the book");
  EXPECT_EQ(a.zip.ReadEntryText(u"book.fb2"), kBook);
}

std::string CommentLength(std::string a, int delta) {
  const size_t end = a.rfind(std::string("PK\x05\x06", 4));
  a[end + 20] = char(uint8_t(a[end + 20]) + delta);
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    Open, UntidyEnding,
    testing::Values(
        Ending{"stray_bytes_after_the_comment", [](std::string a) { return a + "\r\nstray"; }, "archive comment"},
        Ending{"stray_bytes_holding_an_empty_end_record",
               [](std::string a) { return a + std::string("PK\x05\x06", 4) + std::string(18, '\0') + "tail"; },
               "archive comment"},
        Ending{"comment_length_past_the_end", [](std::string a) { return CommentLength(a, 40); }, "archive comment"},
        Ending{"comment_length_short_of_the_end", [](std::string a) { return CommentLength(a, -3); }, "archive comm"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Open, NamesDecodedAsOemUtf8OrTheUnicodeField) {
  Entry oem = Stored(std::string("\x84", 1) + ".txt", "oem");  // IBM437 0x84 is a-umlaut
  Entry utf = Stored("\xd0\xba\xd0\xbd.txt", "utf");
  utf.flags = 0x800;
  std::string units = "\x3f\x04\x40\x04";  // U+043F U+0440
  Entry field = Stored("plain.txt", "field");
  field.extra = std::string("\x4e\x55", 2) + char(4 + 4 + 4) + '\0' + "NUCX" + std::string("\x02\0\0\0", 4) + units;
  Entry cut = Stored("short.txt", "cut");
  // A Unicode field declaring 100 units but holding one keeps only that one.
  cut.extra = std::string("\x4e\x55", 2) + char(4 + 4 + 2) + '\0' + "NUCX" + std::string("\x64\0\0\0", 4) + std::string("Z\0", 2);
  OpenArchive a(ziptest::Build({oem, utf, field, cut}));
  EXPECT_EQ(a.zip.Entry(0).Name, u"\u00e4.txt");
  EXPECT_EQ(a.zip.Entry(1).Name, u"\u043a\u043d.txt");
  EXPECT_EQ(a.zip.Entry(2).Name, u"\u043f\u0440");
  EXPECT_EQ(a.zip.Entry(3).Name, u"Z");
  EXPECT_EQ(a.zip.ReadEntryText(u"\u043f\u0440"), "field");
}

TEST(Open, ToleranceOffFailsWhereTheRebuildWouldHelp) {
  // Cut before its directory, the archive is readable only from its local headers.
  std::string whole = ziptest::Build({Stored("a", "1")});
  std::string bytes = whole.substr(0, whole.find(std::string("PK\x01\x02", 4)));
  TempFile f(bytes);
  TZipArchiver z;
  z.FileName = f.Wide();
  z.TolerantOpen = false;
  EXPECT_EQ(NativeOf([&] { z.Open(openRead); }), zaeDamagedArchive);
  z.TolerantOpen = true;
  z.Open(openRead);
  EXPECT_EQ(z.ReadEntryText(u"a"), "1");
  EXPECT_EQ(TZAArchiverInternals::Dir(z)->DirectoryOffset, int64_t(bytes.size()));
}

TEST(Open, OversizedCompressedSizesFailOnlyWithoutTolerance) {
  Entry e = Stored("a", "1");
  std::string bytes = ziptest::Build({e});
  // central compressed size at directory offset + 20
  size_t dirAt = bytes.find(std::string("PK\x01\x02", 4));
  bytes[dirAt + 20 + 3] = '\x10';
  TempFile f(bytes);
  TZipArchiver z;
  z.FileName = f.Wide();
  z.TolerantOpen = false;
  EXPECT_EQ(NativeOf([&] { z.Open(openRead); }), zaeSizesPastFile);
  z.TolerantOpen = true;
  z.Open(openRead);
  EXPECT_EQ(z.ReadEntryText(u"a"), "1");  // cut at the directory
}

}  // namespace
