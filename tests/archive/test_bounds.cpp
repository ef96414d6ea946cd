// Hostile archives answer within bounds: the text size cap, overlapping records, directory
// memory, and lists long enough that a quadratic step would not finish.
#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include "archive/ZAInternal.h"
#include "platform/limits.h"
#include "testutil.h"
#include "zipbuild.h"

// Counts the bytes the test program holds through operator new, and the most it held.
namespace {
std::atomic<size_t> gHeld{0}, gPeak{0};
void* Counted(size_t n) {
  void* p = std::malloc(n + 16);
  if (!p) throw std::bad_alloc();
  *static_cast<size_t*>(p) = n;
  size_t now = gHeld += n;
  for (size_t peak = gPeak; now > peak && !gPeak.compare_exchange_weak(peak, now);) {
  }
  return static_cast<char*>(p) + 16;
}
void Uncounted(void* p) noexcept {
  if (!p) return;
  void* base = static_cast<char*>(p) - 16;
  gHeld -= *static_cast<size_t*>(base);
  std::free(base);
}
}  // namespace
void* operator new(size_t n) { return Counted(n); }
void* operator new[](size_t n) { return Counted(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
  try {
    return Counted(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { Uncounted(p); }
void operator delete[](void* p) noexcept { Uncounted(p); }
void operator delete(void* p, size_t) noexcept { Uncounted(p); }
void operator delete[](void* p, size_t) noexcept { Uncounted(p); }

using namespace velarin::archive;
using ziptest::NativeOf;

namespace {

void Put64(std::string& s, uint64_t v) {
  ziptest::Put32(s, uint32_t(v));
  ziptest::Put32(s, uint32_t(v >> 32));
}

// Raw deflate data of `megabytes` MiB of zeros, built from one flushed block repeated.
std::string DeflatedZeros(size_t megabytes, uint32_t& crc) {
  const std::string mib(1 << 20, '\0');
  z_stream z{};
  deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string block(8192, '\0'), end(64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(mib.data()));
  z.avail_in = uInt(mib.size());
  z.next_out = reinterpret_cast<Bytef*>(block.data());
  z.avail_out = uInt(block.size());
  deflate(&z, Z_FULL_FLUSH);  // byte-aligned and independent of what came before
  block.resize(block.size() - z.avail_out);
  z.next_out = reinterpret_cast<Bytef*>(end.data());
  z.avail_out = uInt(end.size());
  deflate(&z, Z_FINISH);
  end.resize(end.size() - z.avail_out);
  deflateEnd(&z);
  std::string out;
  crc = 0;
  for (size_t i = 0; i < megabytes; ++i) {
    out += block;
    crc = uint32_t(crc32(crc, reinterpret_cast<const Bytef*>(mib.data()), uInt(mib.size())));
  }
  return out + end;
}

// One deflated entry whose central size fields say `declared`; past 4 GiB the zip64 form.
std::string OneEntry(const std::string& payload, uint32_t crc, uint64_t declared) {
  ziptest::Entry e;
  e.name = "book.fb2";
  e.payload = payload;
  e.declaredCrc = crc;
  if (declared < 0xFFFFFFFFu) {
    e.declaredSize = int64_t(declared);
  } else {
    e.declaredSize = 0xFFFFFFFF;
    e.extra = "\x01";
    e.extra += '\0';
    ziptest::Put16(e.extra, 8);
    Put64(e.extra, declared);
  }
  return ziptest::Build({e});
}

// A destination that keeps nothing, only the largest piece it was given at once.
class Sink : public TZAStream {
 public:
  size_t Read(void*, size_t) override { return 0; }
  size_t Write(const void*, size_t n) override {
    total += n;
    largest = std::max(largest, n);
    return n;
  }
  int64_t Seek(int64_t p) override { return p; }
  int64_t Position() override { return int64_t(total); }
  int64_t Size() override { return int64_t(total); }
  void Truncate() override {}
  uint64_t total = 0;
  size_t largest = 0;
};

// --- the size of a book's text ---

struct CapCase {
  const char* id;
  const char* what;
  size_t megabytes;   // zeros the data really holds
  uint64_t declared;  // what the directory says
  int native;         // ReadEntryText's failure
};

class TextCap : public testing::TestWithParam<CapCase> {};

TEST_P(TextCap, InMemoryExtractionStopsAtTheBound) {
  const CapCase& c = GetParam();
  uint32_t crc = 0;
  const std::string data = DeflatedZeros(c.megabytes, crc);
  ziptest::OpenArchive a(OneEntry(data, crc, c.declared));
  const size_t before = gPeak = gHeld.load();
  EXPECT_EQ(NativeOf([&] { a.zip.ReadEntryText(u"book.fb2"); }), c.native) << c.what;
  TZAMemoryStream memory;
  EXPECT_EQ(NativeOf([&] { a.zip.UnpackEntry(0, memory); }), c.native) << c.what;
  // Nothing near the declared size was reserved, and a lying size stopped the output early.
  EXPECT_LT(gPeak - before, size_t(8) << 20) << c.what;
}

const uint64_t kCap = uint64_t(velarin::platform::kMaxBookText);
INSTANTIATE_TEST_SUITE_P(
    Sizes, TextCap,
    testing::Values(CapCase{"PastTheBound", "declared one byte past the bound", 1, kCap + 1, zaeTooLargeForMemory},
                    CapCase{"Zip64Size", "declared 5 GiB in the zip64 field", 1, uint64_t(5) << 30,
                            zaeTooLargeForMemory},
                    CapCase{"LyingSmall", "declares 1000 bytes, inflates to 300 MiB", 300, 1000, zaeBadEntryData},
                    CapCase{"ShortData", "declares 3 MiB, holds 1 MiB", 1, 3 << 20, zaeBadEntryData}),
    [](const testing::TestParamInfo<CapCase>& i) { return std::string(i.param.id); });

TEST(TextCap, ExtractionToAStreamIsNotCappedAndGoesInBoundedPieces) {
  // An honest entry past the bound: refused as text, streamed whole to another destination.
  uint32_t crc = 0;
  const size_t megabytes = size_t(kCap >> 20) + 1;
  const std::string data = DeflatedZeros(megabytes, crc);
  ziptest::OpenArchive a(OneEntry(data, crc, uint64_t(megabytes) << 20));
  EXPECT_TRUE(ziptest::RaisesZAError([&] { a.zip.ReadEntryText(u"book.fb2"); }, zaeTooLargeForMemory, 38,
                                     "Entry \"book.fb2\" is too large to extract into memory - Native error: 00063"));
  Sink sink;
  const size_t before = gPeak = gHeld.load();
  a.zip.UnpackEntry(0, sink);
  EXPECT_EQ(sink.total, uint64_t(megabytes) << 20);
  EXPECT_LE(sink.largest, size_t(1) << 20);
  EXPECT_LT(gPeak - before, size_t(4) << 20);
}

// --- overlapping records are never copied ---

ziptest::Entry Stored(const std::string& name, const std::string& data, uint16_t flags = 0) {
  ziptest::Entry e;
  e.name = name;
  e.data = data;
  e.method = 0;
  e.flags = flags;
  return e;
}

uint32_t At32(const std::string& s, size_t i) {
  uint32_t v = 0;
  for (int k = 3; k >= 0; --k) v = v << 8 | uint8_t(s[i + size_t(k)]);
  return v;
}
void Set32(std::string& s, size_t i, uint32_t v) {
  for (int k = 0; k < 4; ++k) s[i + size_t(k)] = char(v >> (8 * k));
}

// Positions of the central records of an archive from ziptest::Build.
std::vector<size_t> CentralRecords(const std::string& zip) {
  std::vector<size_t> at;
  for (size_t p = zip.find(std::string("PK\x01\x02", 4)); p != std::string::npos && At32(zip, p) == 0x02014B50u;) {
    at.push_back(p);
    p += 46 + (uint8_t(zip[p + 28]) | uint8_t(zip[p + 29]) << 8) + (uint8_t(zip[p + 30]) | uint8_t(zip[p + 31]) << 8) +
         (uint8_t(zip[p + 32]) | uint8_t(zip[p + 33]) << 8);
  }
  return at;
}

struct OverlapCase {
  const char* id;
  const char* what;
  std::string (*make)();
  const char16_t* readable;  // an entry that still reads, or null
};

class Overlap : public testing::TestWithParam<OverlapCase> {};

TEST_P(Overlap, CommitIsRefusedAndTheArchiveStaysAsItWas) {
  const std::string archive = GetParam().make();
  ziptest::TempFile file(archive);
  std::filesystem::create_directories(file.Dir() + "/tails");
  TZipArchiver zip;
  zip.TempDir = velarin::platform::Utf8ToWide(file.Dir() + "/tails/");
  zip.FileName = file.Wide();
  zip.Open(openReadWrite);
  const char16_t* readable = GetParam().readable;
  const std::string text = readable ? zip.ReadEntryText(readable) : "";  // reading keeps working
  EXPECT_EQ(NativeOf([&] { zip.PutEntryFromText(u"book.fb2", "new text"); }), zaeRecordsOverlap) << GetParam().what;
  if (readable) {
    EXPECT_EQ(zip.ReadEntryText(readable), text);  // the list is what the file holds
  }
  zip.Close();
  EXPECT_EQ(ziptest::ReadFileBytes(file.Path()), archive) << GetParam().what;
  EXPECT_TRUE(std::filesystem::is_empty(file.Dir() + "/tails"));
}

INSTANTIATE_TEST_SUITE_P(
    Records, Overlap,
    testing::Values(
        OverlapCase{"SharedRecord", "a thousand entries pointing at one record",
                    [] {
                      std::vector<ziptest::Entry> entries;
                      for (int i = 0; i < 1000; ++i)
                        entries.push_back(Stored(i ? "c" + std::to_string(i) + ".fb2" : "book.fb2",
                                                 std::string(4096, 'x')));
                      std::string zip = ziptest::Build(entries);
                      for (size_t at : CentralRecords(zip)) Set32(zip, at + 42, 0);
                      return zip;
                    },
                    u"c999.fb2"},
        OverlapCase{"IntoNextHeader", "a record running into the next one's header",
                    [] {
                      std::string zip = ziptest::Build({Stored("a.bin", "xxxx"), Stored("book.fb2", "B")});
                      Set32(zip, CentralRecords(zip)[0] + 20, 10);  // compressed size 4 -> 10
                      return zip;
                    },
                    u"book.fb2"},
        OverlapCase{"IntoDirectory", "the last record running into the directory",
                    [] {
                      std::string zip = ziptest::Build({Stored("book.fb2", "B"), Stored("z.bin", "zz")});
                      Set32(zip, CentralRecords(zip)[1] + 20, 40);
                      return zip;
                    },
                    u"book.fb2"},
        OverlapCase{"OffsetInsideData", "a book whose stored offset points into another entry's data", [] {
                      std::string zip = ziptest::Build({Stored("a.bin", std::string(200, 'a')), Stored("book.fb2", "B")});
                      Set32(zip, CentralRecords(zip)[1] + 42, 60);
                      return zip;
                    },
                    u"a.bin"}),
    [](const testing::TestParamInfo<OverlapCase>& i) { return std::string(i.param.id); });

TEST(Overlap, RecordsEndingExactlyWhereTheNextBeginsAreWritten) {
  // Data descriptors, empty entries and a comment all make records that touch without overlapping.
  ziptest::Entry withDescriptor = Stored("d.txt", "described", 8);
  std::string archive = ziptest::Build(
      {Stored("book.fb2", "old"), withDescriptor, Stored("empty/", ""), Stored("e.txt", "")}, "comment");
  ziptest::TempFile file(archive);
  {
    TZipArchiver zip;
    zip.FileName = file.Wide();
    zip.Open(openReadWrite);
    zip.PutEntryFromText(u"book.fb2", "new");
  }
  ziptest::OpenArchive a(ziptest::ReadFileBytes(file.Path()));
  EXPECT_EQ(a.zip.ReadEntryText(u"book.fb2"), "new");
  EXPECT_EQ(a.zip.ReadEntryText(u"d.txt"), "described");
  EXPECT_EQ(a.zip.EntryCount(), 4);
}

// --- directory memory: extra fields are held once, as stored ---

TEST(DirectoryMemory, ManyEmptyExtraBlocksCostWhatTheyTakeOnDisk) {
  // 300 entries x 60,000 bytes of empty extra blocks: an 18 MB directory of 15,000 blocks per entry.
  std::vector<ziptest::Entry> entries{Stored("book.fb2", "<FictionBook/>")};
  std::string blocks;
  for (int k = 0; k < 15000; ++k) blocks += std::string("\x99\x99\0\0", 4);
  for (int i = 0; i < 300; ++i) {
    entries.push_back(Stored("f" + std::to_string(i) + ".txt", "x"));
    entries.back().extra = blocks;
  }
  std::string archive = ziptest::Build(entries);
  const size_t directory = archive.size() - CentralRecords(archive)[0];
  ziptest::TempFile file(archive);
  archive.clear();
  archive.shrink_to_fit();
  entries.clear();

  size_t before = gPeak = gHeld.load();
  {
    TZipArchiver zip;
    zip.FileName = file.Wide();
    zip.Open(openRead);
    EXPECT_EQ(zip.Entry(1).ExtraFields.size(), 15000u);
    EXPECT_EQ(zip.ReadEntryText(u"book.fb2"), "<FictionBook/>");
  }
  EXPECT_LT(gPeak - before, directory + (4 << 20)) << "reading";

  before = gPeak = gHeld.load();
  {
    TZipArchiver zip;
    zip.FileName = file.Wide();
    zip.Open(openReadWrite);
    zip.PutEntryFromText(u"book.fb2", "<FictionBook>new</FictionBook>");
  }
  EXPECT_LT(gPeak - before, 2 * directory + (4 << 20)) << "writing";
  // The rewrite kept every block of every untouched entry.
  ziptest::OpenArchive a(ziptest::ReadFileBytes(file.Path()));
  EXPECT_EQ(a.zip.Entry(300).ExtraFields.Bytes(), blocks);
  EXPECT_EQ(a.zip.ReadEntryText(u"f299.txt"), "x");
}

// --- long lists: each step linear (the ctest timeout catches a quadratic one) ---

TEST(LongLists, AHundredThousandEntriesAreReadAndRewritten) {
  const int n = 100000;
  std::string local, central;
  for (int i = 0; i < n; ++i) {
    const std::string name = i ? "d/" + std::to_string(i) + ".txt" : "book.fb2";
    const uint32_t at = uint32_t(local.size());
    ziptest::Put32(local, 0x04034B50); ziptest::Put16(local, 10); ziptest::Put16(local, 0); ziptest::Put16(local, 0);
    ziptest::Put32(local, 0); ziptest::Put32(local, 0); ziptest::Put32(local, 0); ziptest::Put32(local, 0);
    ziptest::Put16(local, uint32_t(name.size())); ziptest::Put16(local, 0);
    local += name;
    ziptest::Put32(central, 0x02014B50); ziptest::Put16(central, 10); ziptest::Put16(central, 10);
    for (int k = 0; k < 4; ++k) ziptest::Put16(central, 0);
    for (int k = 0; k < 3; ++k) ziptest::Put32(central, 0);
    ziptest::Put16(central, uint32_t(name.size()));
    for (int k = 0; k < 4; ++k) ziptest::Put16(central, 0);
    ziptest::Put32(central, 0x20); ziptest::Put32(central, at);
    central += name;
  }
  std::string archive = local + central;
  // More entries than the end record counts: it says 0xFFFF and the directory is walked.
  ziptest::Put32(archive, 0x06054B50); ziptest::Put32(archive, 0); ziptest::Put16(archive, 0xFFFF);
  ziptest::Put16(archive, 0xFFFF); ziptest::Put32(archive, uint32_t(central.size()));
  ziptest::Put32(archive, uint32_t(local.size())); ziptest::Put16(archive, 0);
  ziptest::TempFile file(archive);
  {
    TZipArchiver zip;
    zip.FileName = file.Wide();
    zip.Open(openReadWrite);
    ASSERT_EQ(zip.EntryCount(), n);
    TZAArchiveItem item;
    ASSERT_TRUE(zip.FindEntry(u"*.fb2", item, u"", kZADefaultSearchAttr));
    EXPECT_EQ(zip.ReadEntryText(u"d/99999.txt"), "");
    zip.PutEntryFromText(u"book.fb2", "<FictionBook/>");  // every other record moves
  }
  TZipArchiver zip;
  zip.FileName = file.Wide();
  zip.Open(openRead);
  EXPECT_EQ(zip.EntryCount(), n);
  EXPECT_EQ(zip.ReadEntryText(u"book.fb2"), "<FictionBook/>");
  EXPECT_EQ(zip.ReadEntryText(u"D/54321.TXT"), "");
}

TEST(LongLists, TheRebuildScanOfPackedEmptyHeadersIsOnePass) {
  // 3 MB of empty local headers and no directory: 100,000 nameless entries.
  std::string header;
  ziptest::Put32(header, 0x04034B50);
  header.resize(30, '\0');
  std::string archive;
  archive.reserve(30 * 100000);
  for (int i = 0; i < 100000; ++i) archive += header;
  ziptest::OpenArchive a(archive);
  EXPECT_TRUE(TZAArchiverInternals::Dir(a.zip)->Rebuilt);
  EXPECT_EQ(a.zip.EntryCount(), 100000);
  EXPECT_EQ(a.zip.Entry(99999).LocalHeaderOffset(), 30u * 99999);
  TZAArchiveItem item;
  EXPECT_FALSE(a.zip.FindEntry(u"*.fb2", item, u"", kZADefaultSearchAttr));
}

}  // namespace
