// Signatures and fixed sizes of the records an archive is made of, and exact reads of them.
#pragma once
#include <cstddef>
#include <cstdint>

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
