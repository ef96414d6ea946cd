// Archives made by independent tools (zip, 7z, Python's zipfile): extracted bytes equal unzip -p,
// and an entry replaced in each leaves an archive the tools accept.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "archive/ZipArchiver.h"
#include "testutil.h"

using namespace velarin::archive;

namespace {

#ifndef _WIN32
using ziptest::Capture;
using ziptest::Have;

// A work folder with two books (one large and compressible) and a note.
class ToolArchive : public testing::Test {
 protected:
  void SetUp() override {
    std::string book = "<?xml version=\"1.0\"?>\n<FictionBook>";
    for (int i = 0; i < 20000; ++i) book += "<p>line " + std::to_string(i * 7919 % 10007) + "</p>\n";
    book += "</FictionBook>\n";
    Write("book.fb2", book);
    Write("sub/inner.fb2", "<FictionBook>inner</FictionBook>");
    Write("note.txt", "note\n");
  }
  void Write(const std::string& name, const std::string& data) {
    std::string path = work_.Dir() + "/" + name;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << data;
  }
  std::string In(const std::string& cmd) { return "cd '" + work_.Dir() + "' && " + cmd; }
  // Every entry that unzip lists is read by its stored name and compared with unzip -p.
  void ExpectSameAsUnzip(const std::string& archive, size_t minEntries, bool hasBook = true) {
    TZipArchiver zip;
    zip.FileName = velarin::platform::Utf8ToWide(archive);
    zip.Open(openRead);
    ASSERT_GE(size_t(zip.EntryCount()), minEntries);
    for (int32_t i = 0; i < zip.EntryCount(); ++i) {
      std::u16string name = zip.Entry(i).Name;
      if (!name.empty() && name.back() == u'/') continue;
      std::string utf8 = velarin::platform::WideToUtf8(name);
      std::string expected = Capture("unzip -p '" + archive + "' '" + utf8 + "' 2>/dev/null");
      EXPECT_EQ(zip.ReadEntryText(name), expected) << utf8;
    }
    TZAArchiveItem item;
    EXPECT_EQ(zip.FindEntry(u"*.fb2", item, u"", 0x28BF), hasBook);
  }
  // A copy of the archive with entry replaced: the testers accept it, unzip gives the new
  // text, and every other entry still gives what it gave before.
  void ExpectEditable(const std::string& archive, const std::u16string& entry) {
    std::string copy = archive + ".edited.zip";
    std::filesystem::copy_file(archive, copy, std::filesystem::copy_options::overwrite_existing);
    const std::string text = "<FictionBook>edited " + archive + "</FictionBook>";
    {
      TZipArchiver zip;
      zip.FileName = velarin::platform::Utf8ToWide(copy);
      zip.Open(openReadWrite);
      zip.PutEntryFromText(entry, text);
    }
    EXPECT_EQ(ziptest::IndependentTestersReject(copy), "") << archive;
    TZipArchiver zip;
    zip.FileName = velarin::platform::Utf8ToWide(copy);
    zip.Open(openRead);
    for (int32_t i = 0; i < zip.EntryCount(); ++i) {
      std::string name = velarin::platform::WideToUtf8(zip.Entry(i).Name);
      if (!name.empty() && name.back() == '/') continue;
      std::string expected = zip.Entry(i).Name == entry ? text : Capture("unzip -p '" + archive + "' '" + name + "'");
      EXPECT_EQ(Capture("unzip -p '" + copy + "' '" + name + "' 2>/dev/null"), expected) << archive << ": " << name;
    }
  }
  ziptest::TempFile work_{"", "unused"};
};

#define NEED(tool) \
  if (!Have(tool)) GTEST_SKIP() << tool " is not installed (apt-get install " tool ")"

TEST_F(ToolArchive, ZipStoredAndDeflated) {
  NEED("zip");
  NEED("unzip");
  ASSERT_EQ(std::system(In("zip -q -0 stored.zip book.fb2 note.txt sub/inner.fb2").c_str()), 0);
  ASSERT_EQ(std::system(In("zip -q -9 deflated.zip book.fb2 note.txt sub/inner.fb2").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/stored.zip", 3);
  ExpectSameAsUnzip(work_.Dir() + "/deflated.zip", 3);
  ExpectEditable(work_.Dir() + "/stored.zip", u"book.fb2");
  ExpectEditable(work_.Dir() + "/deflated.zip", u"note.txt");
}

TEST_F(ToolArchive, ZipWithFolderEntriesAndForcedDescriptors) {
  NEED("zip");
  NEED("unzip");
  ASSERT_EQ(std::system(In("zip -q -r -fd folders.zip sub book.fb2").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/folders.zip", 2);
  ExpectEditable(work_.Dir() + "/folders.zip", u"sub/inner.fb2");
  // book.fb2 comes after the edited entry and carries a data descriptor: it moves with its record.
  auto recordOf = [](const std::string& path) {
    TZipArchiver zip;
    zip.FileName = velarin::platform::Utf8ToWide(path);
    zip.Open(openRead);
    int32_t i = -1;
    EXPECT_TRUE(zip.IndexOfEntry(u"book.fb2", i));
    const TDirItem& e = zip.Entry(i);
    EXPECT_EQ(e.Header.Flags & 8, 8);
    std::string bytes = ziptest::ReadFileBytes(path);
    return bytes.substr(size_t(e.LocalHeaderOffset()), 30 + 8 + size_t(e.CompressedSize()) + 16);
  };
  EXPECT_EQ(recordOf(work_.Dir() + "/folders.zip.edited.zip"), recordOf(work_.Dir() + "/folders.zip"));
}

TEST_F(ToolArchive, StreamedZipWithDataDescriptors) {
  NEED("zip");
  NEED("unzip");
  ASSERT_EQ(std::system(In("cat book.fb2 | zip -q -fz- - - | cat > streamed.zip").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/streamed.zip", 1, false);
  ExpectEditable(work_.Dir() + "/streamed.zip", u"-");
  // The same archive without its directory is read from its local headers and descriptors.
  std::string bytes = ziptest::ReadFileBytes(work_.Dir() + "/streamed.zip");
  size_t dir = bytes.rfind(std::string("PK\x01\x02", 4));
  ASSERT_NE(dir, std::string::npos);
  ziptest::TempFile cut(bytes.substr(0, dir));
  TZipArchiver zip;
  zip.FileName = cut.Wide();
  zip.Open(openRead);
  ASSERT_EQ(zip.EntryCount(), 1);
  EXPECT_EQ(zip.ReadEntryText(u"-"), ziptest::ReadFileBytes(work_.Dir() + "/book.fb2"));
}

TEST_F(ToolArchive, Zip64Records) {
  NEED("zip");
  NEED("unzip");
  ASSERT_EQ(std::system(In("zip -q -fz z64.zip book.fb2 note.txt").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/z64.zip", 2);
  ExpectEditable(work_.Dir() + "/z64.zip", u"book.fb2");
}

TEST_F(ToolArchive, SevenZipWithUtf8Names) {
  NEED("7z");
  NEED("unzip");
  Write("\xd0\xba\xd0\xbd\xd0\xb8\xd0\xb3\xd0\xb0.fb2", "<FictionBook>kniga</FictionBook>");
  ASSERT_EQ(std::system(In("7z a -tzip -mcu=on -bd -bso0 seven.zip book.fb2 '\xd0\xba\xd0\xbd\xd0\xb8\xd0\xb3"
                           "\xd0\xb0.fb2' >/dev/null").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/seven.zip", 2);
  ExpectEditable(work_.Dir() + "/seven.zip", u"book.fb2");
  TZipArchiver zip;
  zip.FileName = velarin::platform::Utf8ToWide(work_.Dir() + "/seven.zip");
  zip.Open(openRead);
  EXPECT_EQ(zip.ReadEntryText(u"\u043a\u043d\u0438\u0433\u0430.fb2"), "<FictionBook>kniga</FictionBook>");
}

TEST_F(ToolArchive, PythonZipfile) {
  NEED("python3");
  NEED("unzip");
  ASSERT_EQ(std::system(In("python3 -c \"import zipfile\nwith zipfile.ZipFile('py.zip','w',zipfile.ZIP_DEFLATED) "
                           "as z:\n z.write('book.fb2')\n z.write('note.txt', 'dir/note.txt')\"").c_str()),
            0);
  ExpectSameAsUnzip(work_.Dir() + "/py.zip", 2);
  ExpectEditable(work_.Dir() + "/py.zip", u"book.fb2");
}

TEST_F(ToolArchive, StubPrependedWithCat) {
  NEED("zip");
  NEED("unzip");
  Write("stub.bin", std::string(5000, '\x7f') + "MZ stub");
  ASSERT_EQ(std::system(In("zip -q plain.zip book.fb2 note.txt && cat stub.bin plain.zip > stubbed.zip").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/stubbed.zip", 2);
  ExpectEditable(work_.Dir() + "/stubbed.zip", u"book.fb2");
  ASSERT_EQ(std::system(In("cp stubbed.zip adjusted.zip && zip -q -A adjusted.zip").c_str()), 0);
  ExpectSameAsUnzip(work_.Dir() + "/adjusted.zip", 2);
  ExpectEditable(work_.Dir() + "/adjusted.zip", u"book.fb2");
}

// Bytes in front of archives zip writes with folder entries, zip64 records or data
// descriptors: every entry reads, and an edit leaves an archive the testers accept.
TEST_F(ToolArchive, StubInFrontOfFoldersZip64AndDescriptors) {
  NEED("zip");
  NEED("unzip");
  Write("stub.bin", std::string(2800, 'S') + "stub");
  ASSERT_EQ(std::system(In("zip -q -r folders.zip sub book.fb2 && zip -q -fz z64.zip book.fb2 note.txt && "
                           "zip -q -fd dd.zip book.fb2 note.txt && cat stub.bin folders.zip > s-folders.fbz && "
                           "cat stub.bin z64.zip > s-z64.zip && cat stub.bin dd.zip > s-dd.zip").c_str()),
            0);
  ExpectSameAsUnzip(work_.Dir() + "/s-folders.fbz", 3);
  ExpectEditable(work_.Dir() + "/s-folders.fbz", u"book.fb2");
  ExpectSameAsUnzip(work_.Dir() + "/s-z64.zip", 2);
  ExpectEditable(work_.Dir() + "/s-z64.zip", u"book.fb2");
  ExpectSameAsUnzip(work_.Dir() + "/s-dd.zip", 2);
  ExpectEditable(work_.Dir() + "/s-dd.zip", u"note.txt");
}
#endif

}  // namespace
