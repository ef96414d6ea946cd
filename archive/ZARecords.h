// Signatures, fixed sizes and decoders of the records an archive is made of.
#pragma once
#include <cstddef>
#include <cstdint>

#include "archive/ZADirArray.h"
#include "archive/ZAReader.h"
#include "archive/ZAStream.h"

namespace velarin::archive {

constexpr uint32_t kLocalSig = 0x04034B50;
constexpr uint32_t kCentralSig = 0x02014B50;
constexpr uint32_t kEndSig = 0x06054B50;
constexpr uint32_t kZip64LocatorSig = 0x07064B50;
constexpr uint32_t kZip64EndSig = 0x06064B50;
constexpr uint32_t kDescriptorSig = 0x08074B50;

constexpr size_t kLocalHeaderSize = 30;
constexpr size_t kCentralHeaderSize = kZACentralHeaderSize;
constexpr size_t kEndRecordSize = 22;
constexpr size_t kZip64LocatorSize = 20;
// The fixed part; a writer may append an extensible data sector.
constexpr size_t kZip64EndRecordSize = 56;
// Data descriptors: with or without their optional signature, with 32- or 64-bit sizes.
constexpr size_t kDescriptorSize = 12;
constexpr size_t kSignedDescriptorSize = 16;
constexpr size_t kZip64DescriptorSize = 20;
constexpr size_t kSignedZip64DescriptorSize = 24;

constexpr size_t DescriptorSize(bool withSignature, bool zip64) {
  return withSignature ? (zip64 ? kSignedZip64DescriptorSize : kSignedDescriptorSize)
                       : (zip64 ? kZip64DescriptorSize : kDescriptorSize);
}

// A 32-bit size or offset field holding this has its value in the zip64 block or records.
constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;
// The same for a 16-bit disk number or entry count.
constexpr uint16_t kZip64Marker16 = 0xFFFF;

// Each Parse function decodes one record from the reader's position. A span shorter than
// the record leaves the reader failed (check Ok() once) and the missing fields zero.

// The fields of a 30-byte local file header.
struct TLocalHeader {
  uint32_t Signature;
  uint16_t VersionNeeded, Flags, Method, ModTime, ModDate;
  uint32_t Crc32, CompressedSize, UncompressedSize;
  uint16_t NameLength, ExtraLength;
};

// The run of fields a local and a central header share, from the version needed to the
// extra field's length.
template <class Header>
void ParseSharedHeaderFields(TZAReader& r, Header& h) {
  h.VersionNeeded = r.U16();
  h.Flags = r.U16();
  h.Method = r.U16();
  h.ModTime = r.U16();
  h.ModDate = r.U16();
  h.Crc32 = r.U32();
  h.CompressedSize = r.U32();
  h.UncompressedSize = r.U32();
  h.NameLength = r.U16();
  h.ExtraLength = r.U16();
}

inline TLocalHeader ParseLocalHeader(TZAReader& r) {
  TLocalHeader h;
  h.Signature = r.U32();
  ParseSharedHeaderFields(r, h);
  return h;
}

inline TZACentralHeader ParseCentralHeader(TZAReader& r) {
  TZACentralHeader h;
  h.Signature = r.U32();
  h.VersionMadeBy = r.U16();
  ParseSharedHeaderFields(r, h);
  h.CommentLength = r.U16();
  h.DiskStart = r.U16();
  h.InternalAttributes = r.U16();
  h.ExternalAttributes = r.U32();
  h.LocalHeaderOffset = r.U32();
  return h;
}

// The 22-byte end of central directory record, without the comment that follows it.
struct TEndRecord {
  uint32_t Signature;
  uint16_t DiskNumber;     // this disk, the last one
  uint16_t DirectoryDisk;  // where the directory starts
  uint16_t DiskEntries, TotalEntries;
  uint32_t DirectorySize, DirectoryOffset;
  uint16_t CommentLength;
};

inline TEndRecord ParseEndRecord(TZAReader& r) {
  TEndRecord e;
  e.Signature = r.U32();
  e.DiskNumber = r.U16();
  e.DirectoryDisk = r.U16();
  e.DiskEntries = r.U16();
  e.TotalEntries = r.U16();
  e.DirectorySize = r.U32();
  e.DirectoryOffset = r.U32();
  e.CommentLength = r.U16();
  return e;
}

// The 20-byte zip64 end of central directory locator, right before the end record.
struct TZip64Locator {
  uint32_t Signature;
  uint32_t RecordDisk;  // the disk holding the zip64 end record
  uint64_t RecordOffset;
  uint32_t TotalDisks;
};

inline TZip64Locator ParseZip64Locator(TZAReader& r) {
  TZip64Locator l;
  l.Signature = r.U32();
  l.RecordDisk = r.U32();
  l.RecordOffset = r.U64();
  l.TotalDisks = r.U32();
  return l;
}

// The fixed 56 bytes of the zip64 end of central directory record.
struct TZip64EndRecord {
  uint32_t Signature;
  uint64_t RecordSize;  // of what follows this field
  uint16_t VersionMadeBy, VersionNeeded;
  uint32_t DiskNumber, DirectoryDisk;
  uint64_t DiskEntries, TotalEntries;
  uint64_t DirectorySize, DirectoryOffset;
};

inline TZip64EndRecord ParseZip64EndRecord(TZAReader& r) {
  TZip64EndRecord z;
  z.Signature = r.U32();
  z.RecordSize = r.U64();
  z.VersionMadeBy = r.U16();
  z.VersionNeeded = r.U16();
  z.DiskNumber = r.U32();
  z.DirectoryDisk = r.U32();
  z.DiskEntries = r.U64();
  z.TotalEntries = r.U64();
  z.DirectorySize = r.U64();
  z.DirectoryOffset = r.U64();
  return z;
}

// A data descriptor after a streamed entry's data. Signature is 0 for the unsigned form.
struct TDataDescriptor {
  uint32_t Signature;
  uint32_t Crc32;
  uint64_t CompressedSize, UncompressedSize;
};

// The caller says which form it expects: the signature is optional and the
// sizes are 64-bit for a zip64 entry.
inline TDataDescriptor ParseDataDescriptor(TZAReader& r, bool withSignature, bool zip64) {
  TDataDescriptor d;
  d.Signature = withSignature ? r.U32() : 0;
  d.Crc32 = r.U32();
  d.CompressedSize = zip64 ? r.U64() : r.U32();
  d.UncompressedSize = zip64 ? r.U64() : r.U32();
  return d;
}

// True when the stream holds the 4-byte signature sig at pos.
inline bool ZASignatureAt(TZAStream& s, int64_t pos, uint32_t sig) {
  uint8_t raw[4];
  if (!ZAReadAt(s, pos, raw, sizeof raw)) return false;
  TZAReader r(raw, sizeof raw);
  return r.U32() == sig;
}

}  // namespace velarin::archive
