// Signatures and fixed sizes of the records an archive is made of, and exact reads of them.
#pragma once
#include <cstddef>
#include <cstdint>

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
constexpr size_t kEndRecordSize = 22;
// A 32-bit size or offset field holding this has its value in the zip64 block.
constexpr uint32_t kZip64Marker = 0xFFFFFFFFu;

// The fields of a 30-byte local file header.
struct TLocalHeader {
  uint32_t Signature;
  uint16_t VersionNeeded, Flags, Method, ModTime, ModDate;
  uint32_t Crc32, CompressedSize, UncompressedSize;
  uint16_t NameLength, ExtraLength;
};

inline TLocalHeader ParseLocalHeader(const uint8_t* p) {
  TZAReader r(p, kLocalHeaderSize);
  TLocalHeader h;
  h.Signature = r.U32();
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
  return h;
}

// Reads up to n bytes, continuing after short reads; answers how many arrived.
inline size_t ZAReadFull(TZAStream& s, void* buffer, size_t n) {
  size_t got = 0;
  while (got < n) {
    size_t r = s.Read(static_cast<uint8_t*>(buffer) + got, n - got);
    if (r == 0) break;
    got += r;
  }
  return got;
}

// Reads exactly n bytes at pos; false when the stream has fewer.
inline bool ZAReadAt(TZAStream& s, int64_t pos, void* buffer, size_t n) {
  if (pos < 0 || pos > s.Size()) return false;
  s.Seek(pos);
  return ZAReadFull(s, buffer, n) == n;
}

}  // namespace velarin::archive
