// The record decoders: every record whole and cut short at every length, and the zip64
// markers that send a field's value to the zip64 block or records.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "archive/ZAInternal.h"
#include "archive/ZARecords.h"
#include "testutil.h"
#include "zipbuild.h"

using namespace velarin::archive;

namespace {

using Fields = std::vector<uint64_t>;

// A well-formed record, how to decode it, and the fields it must give. Every field value is
// distinct and non-zero, so a field read from a span cut short shows as zero, and one read
// from past the span as neither zero nor its value.
struct RecordCase {
  const char* name;
  size_t size;  // the record's named size
  std::string bytes;
  std::function<Fields(TZAReader&)> decode;
  Fields expected;
};

std::string Bytes(const std::function<void(TZAWriter&)>& write) {
  std::string s;
  TZAWriter w(s);
  write(w);
  return s;
}

Fields LocalFields(TZAReader& r) {
  const TLocalHeader h = ParseLocalHeader(r);
  return {h.Signature, h.VersionNeeded, h.Flags, h.Method, h.ModTime, h.ModDate,
          h.Crc32, h.CompressedSize, h.UncompressedSize, h.NameLength, h.ExtraLength};
}

Fields CentralFields(TZAReader& r) {
  const TZACentralHeader h = ParseCentralHeader(r);
  return {h.Signature, h.VersionMadeBy, h.VersionNeeded, h.Flags, h.Method, h.ModTime,
          h.ModDate, h.Crc32, h.CompressedSize, h.UncompressedSize, h.NameLength, h.ExtraLength,
          h.CommentLength, h.DiskStart, h.InternalAttributes, h.ExternalAttributes, h.LocalHeaderOffset};
}

Fields EndFields(TZAReader& r) {
  const TEndRecord e = ParseEndRecord(r);
  return {e.Signature, e.DiskNumber, e.DirectoryDisk, e.DiskEntries, e.TotalEntries,
          e.DirectorySize, e.DirectoryOffset, e.CommentLength};
}

Fields LocatorFields(TZAReader& r) {
  const TZip64Locator l = ParseZip64Locator(r);
  return {l.Signature, l.RecordDisk, l.RecordOffset, l.TotalDisks};
}

Fields Zip64EndFields(TZAReader& r) {
  const TZip64EndRecord z = ParseZip64EndRecord(r);
  return {z.Signature, z.RecordSize, z.VersionMadeBy, z.VersionNeeded, z.DiskNumber, z.DirectoryDisk,
          z.DiskEntries, z.TotalEntries, z.DirectorySize, z.DirectoryOffset};
}

std::function<Fields(TZAReader&)> DescriptorFields(bool withSignature, bool zip64) {
  return [=](TZAReader& r) {
    const TDataDescriptor d = ParseDataDescriptor(r, withSignature, zip64);
    Fields f = {d.Crc32, d.CompressedSize, d.UncompressedSize};
    if (withSignature) f.insert(f.begin(), d.Signature);
    return f;
  };
}

std::vector<RecordCase> Cases() {
  return {
      {"LocalHeader", kLocalHeaderSize,
       Bytes([](TZAWriter& w) {
         w.U32(kLocalSig).U16(20).U16(8).U16(0x0808).U16(0x6000).U16(0x5021).U32(0xCAFEF00D).U32(1234)
             .U32(5678).U16(7).U16(9);
       }),
       LocalFields, {kLocalSig, 20, 8, 0x0808, 0x6000, 0x5021, 0xCAFEF00D, 1234, 5678, 7, 9}},
      {"CentralHeader", kCentralHeaderSize,
       Bytes([](TZAWriter& w) {
         w.U32(kCentralSig).U16(0x0B14).U16(20).U16(8).U16(0x0808).U16(0x6000).U16(0x5021).U32(0xCAFEF00D)
             .U32(1234).U32(5678).U16(7).U16(9).U16(11).U16(13).U16(15).U32(0x81A40020).U32(0x01020304);
       }),
       CentralFields,
       {kCentralSig, 0x0B14, 20, 8, 0x0808, 0x6000, 0x5021, 0xCAFEF00D, 1234, 5678, 7, 9, 11, 13, 15, 0x81A40020,
        0x01020304}},
      {"EndRecord", kEndRecordSize,
       Bytes([](TZAWriter& w) { w.U32(kEndSig).U16(1).U16(2).U16(3).U16(4).U32(5000).U32(6000).U16(7); }),
       EndFields, {kEndSig, 1, 2, 3, 4, 5000, 6000, 7}},
      {"Zip64Locator", kZip64LocatorSize,
       Bytes([](TZAWriter& w) { w.U32(kZip64LocatorSig).U32(3).U64(0x0102030405060708).U32(4); }),
       LocatorFields, {kZip64LocatorSig, 3, 0x0102030405060708, 4}},
      {"Zip64EndRecord", kZip64EndRecordSize,
       Bytes([](TZAWriter& w) {
         w.U32(kZip64EndSig).U64(44).U16(45).U16(46).U32(1).U32(2).U64(0x100000003).U64(0x100000004)
             .U64(0x100000005).U64(0x100000006);
       }),
       Zip64EndFields,
       {kZip64EndSig, 44, 45, 46, 1, 2, 0x100000003, 0x100000004, 0x100000005, 0x100000006}},
      {"Descriptor", kDescriptorSize, Bytes([](TZAWriter& w) { w.U32(0xCAFEF00D).U32(1234).U32(5678); }),
       DescriptorFields(false, false), {0xCAFEF00D, 1234, 5678}},
      {"SignedDescriptor", kSignedDescriptorSize,
       Bytes([](TZAWriter& w) { w.U32(kDescriptorSig).U32(0xCAFEF00D).U32(1234).U32(5678); }),
       DescriptorFields(true, false), {kDescriptorSig, 0xCAFEF00D, 1234, 5678}},
      {"Zip64Descriptor", kZip64DescriptorSize,
       Bytes([](TZAWriter& w) { w.U32(0xCAFEF00D).U64(0x100000001).U64(0x100000002); }),
       DescriptorFields(false, true), {0xCAFEF00D, 0x100000001, 0x100000002}},
      {"SignedZip64Descriptor", kSignedZip64DescriptorSize,
       Bytes([](TZAWriter& w) { w.U32(kDescriptorSig).U32(0xCAFEF00D).U64(0x100000001).U64(0x100000002); }),
       DescriptorFields(true, true), {kDescriptorSig, 0xCAFEF00D, 0x100000001, 0x100000002}},
  };
}

class Records : public testing::TestWithParam<RecordCase> {};

TEST_P(Records, DecodeWholeAndExactly) {
  const RecordCase& c = GetParam();
  const std::string bytes = c.bytes + "trailing";
  ASSERT_EQ(c.bytes.size(), c.size);
  TZAReader r(bytes.data(), c.size);
  EXPECT_EQ(c.decode(r), c.expected);
  EXPECT_TRUE(r.Ok());
  EXPECT_EQ(r.Offset(), c.size);
}

TEST_P(Records, CutShortFailAndNeverReadPastTheSpan) {
  const RecordCase& c = GetParam();
  for (size_t n = 0; n < c.bytes.size(); ++n) {
    SCOPED_TRACE("span of " + std::to_string(n) + " bytes");
    // The bytes past the span are there, but not the record's: reading them would show.
    const std::string held = c.bytes.substr(0, n) + std::string(c.bytes.size() - n, '\xEE');
    TZAReader r(held.data(), n);
    const Fields got = c.decode(r);
    EXPECT_FALSE(r.Ok());
    EXPECT_LE(r.Offset(), n);
    ASSERT_EQ(got.size(), c.expected.size());
    for (size_t i = 0; i < got.size(); ++i)
      EXPECT_TRUE(got[i] == c.expected[i] || got[i] == 0) << "field " << i << " = " << std::hex << got[i];
  }
}

INSTANTIATE_TEST_SUITE_P(Parse, Records, testing::ValuesIn(Cases()),
                         [](const testing::TestParamInfo<RecordCase>& i) { return std::string(i.param.name); });

// ---- zip64 markers in archives

constexpr size_t kCentralCompressedAt = 20, kCentralUncompressedAt = 24, kCentralOffsetAt = 42;

void Patch32(std::string& s, size_t at, uint32_t v) { ZAPut32(reinterpret_cast<uint8_t*>(&s[at]), v); }

// Which central fields hold the marker; the zip64 block gives their values in its fixed order.
struct MarkerCase {
  const char* name;
  bool uncompressed, compressed, offset;
};

class Zip64Markers : public testing::TestWithParam<MarkerCase> {};

TEST_P(Zip64Markers, TakeTheirValuesFromTheZip64Block) {
  const MarkerCase& m = GetParam();
  const std::string text(300, 'z');  // packs small, so an exchanged size shows
  ziptest::Entry e;
  e.name = "book.fb2";
  e.data = text;
  const uint64_t packed = ziptest::RawDeflate(text).size(), offset = 0;
  std::string values;
  TZAWriter v(values);
  if (m.uncompressed) v.U64(text.size());
  if (m.compressed) v.U64(packed);
  if (m.offset) v.U64(offset);
  e.extra = Bytes([&](TZAWriter& w) { w.U16(1).U16(uint16_t(values.size())).Bytes(values); });
  std::string zip = ziptest::Build({e});
  const size_t central = zip.size() - kEndRecordSize - kCentralHeaderSize - e.name.size() - e.extra.size();
  ASSERT_EQ(TZAReader(zip.data() + central, 4).U32(), kCentralSig);
  if (m.uncompressed) Patch32(zip, central + kCentralUncompressedAt, kZip64Marker);
  if (m.compressed) Patch32(zip, central + kCentralCompressedAt, kZip64Marker);
  if (m.offset) Patch32(zip, central + kCentralOffsetAt, kZip64Marker);

  ziptest::OpenArchive a(zip);
  ASSERT_EQ(a.zip.EntryCount(), 1);
  const TDirItem& item = a.zip.Entry(0);
  EXPECT_TRUE(item.Zip64);
  EXPECT_EQ(item.UncompressedSize(), text.size());
  EXPECT_EQ(item.CompressedSize(), packed);
  EXPECT_EQ(item.LocalHeaderOffset(), offset);
  EXPECT_EQ(a.zip.ReadEntryText(u"book.fb2"), text);
}

INSTANTIATE_TEST_SUITE_P(Fields, Zip64Markers,
                         testing::Values(MarkerCase{"Uncompressed", true, false, false},
                                         MarkerCase{"Compressed", false, true, false},
                                         MarkerCase{"Offset", false, false, true},
                                         MarkerCase{"SizesAndOffset", true, true, true}),
                         [](const testing::TestParamInfo<MarkerCase>& i) { return std::string(i.param.name); });

// An archive whose end record holds only markers: count, size and offset come from the
// zip64 end record the locator points at, with or without bytes in front of the archive.
TEST(Zip64EndRecords, GiveTheDirectoryWhenTheEndRecordHoldsMarkers) {
  const std::string text = "Found through the zip64 end record.";
  ziptest::Entry e;
  e.name = "book.fb2";
  e.data = text;
  for (const std::string& stub : {std::string(), std::string("stub bytes in front")}) {
    SCOPED_TRACE("stub of " + std::to_string(stub.size()) + " bytes");
    const std::string plain = ziptest::Build({e});
    const std::string body = plain.substr(0, plain.size() - kEndRecordSize);
    TZAReader r(plain.data() + body.size(), kEndRecordSize);
    const TEndRecord end = ParseEndRecord(r);
    ASSERT_TRUE(r.Ok());
    const uint64_t recordAt = body.size();  // counted from the archive's start, as written
    const std::string zip = stub + body + Bytes([&](TZAWriter& w) {
      w.U32(kZip64EndSig).U64(kZip64EndRecordSize - 12).U16(45).U16(45).U32(0).U32(0)
          .U64(end.TotalEntries).U64(end.TotalEntries).U64(end.DirectorySize).U64(end.DirectoryOffset)
          .U32(kZip64LocatorSig).U32(0).U64(recordAt).U32(1)
          .U32(kEndSig).U16(0).U16(0).U16(kZip64Marker16).U16(kZip64Marker16).U32(kZip64Marker)
          .U32(kZip64Marker).U16(0);
    });
    ziptest::OpenArchive a(zip);
    EXPECT_TRUE(TZAArchiverInternals::Dir(a.zip)->Zip64);
    EXPECT_EQ(TZAArchiverInternals::Dir(a.zip)->StubSize, int64_t(stub.size()));
    ASSERT_EQ(a.zip.EntryCount(), 1);
    EXPECT_EQ(a.zip.ReadEntryText(u"book.fb2"), text);
  }
}

}  // namespace
