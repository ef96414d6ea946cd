// A small ZIP writer for tests: archives with exactly the names, methods, flags and sizes a case needs.
#pragma once
#include <zlib.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ziptest {

inline void Put16(std::string& s, uint32_t v) { s += char(v & 0xFF); s += char((v >> 8) & 0xFF); }
inline void Put32(std::string& s, uint32_t v) { Put16(s, v & 0xFFFF); Put16(s, v >> 16); }

inline std::string RawDeflate(const std::string& data, int level = 6) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, uLong(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = uInt(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = uInt(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline uint32_t Crc(const std::string& d) {
  return uint32_t(crc32(0, reinterpret_cast<const Bytef*>(d.data()), uInt(d.size())));
}

struct Entry {
  std::string name;        // name bytes as stored
  std::string data;        // uncompressed content
  uint16_t method = 8;
  uint16_t flags = 0;
  uint32_t attributes = 0x20;
  std::string extra;       // central extra field
  std::string comment;
  // Overrides of what the central header declares (-1: the true value).
  int64_t declaredSize = -1;
  int64_t declaredCrc = -1;
  std::string payload;     // when set, the stored bytes instead of compressing data
};

// Builds a complete archive: local headers, data (and descriptors), central directory, end record.
inline std::string Build(const std::vector<Entry>& entries, const std::string& comment = "") {
  std::string out, dir;
  for (const Entry& e : entries) {
    std::string body = !e.payload.empty() ? e.payload : e.method == 8 ? RawDeflate(e.data) : e.data;
    uint32_t crc = e.declaredCrc >= 0 ? uint32_t(e.declaredCrc) : Crc(e.data);
    uint32_t size = e.declaredSize >= 0 ? uint32_t(e.declaredSize) : uint32_t(e.data.size());
    uint32_t offset = uint32_t(out.size());
    Put32(out, 0x04034B50); Put16(out, 20); Put16(out, e.flags); Put16(out, e.method);
    Put16(out, 0x6000); Put16(out, 0x5021); Put32(out, crc); Put32(out, uint32_t(body.size()));
    Put32(out, size); Put16(out, uint32_t(e.name.size())); Put16(out, 0);
    out += e.name;
    out += body;
    if (e.flags & 8) {  // announced by flag bit 3: a data descriptor follows the data
      Put32(out, 0x08074B50); Put32(out, crc); Put32(out, uint32_t(body.size())); Put32(out, size);
    }
    Put32(dir, 0x02014B50); Put16(dir, 20); Put16(dir, 20); Put16(dir, e.flags); Put16(dir, e.method);
    Put16(dir, 0x6000); Put16(dir, 0x5021); Put32(dir, crc); Put32(dir, uint32_t(body.size()));
    Put32(dir, size); Put16(dir, uint32_t(e.name.size())); Put16(dir, uint32_t(e.extra.size()));
    Put16(dir, uint32_t(e.comment.size())); Put16(dir, 0); Put16(dir, 0); Put32(dir, e.attributes);
    Put32(dir, offset);
    dir += e.name + e.extra + e.comment;
  }
  uint32_t dirAt = uint32_t(out.size());
  out += dir;
  Put32(out, 0x06054B50); Put16(out, 0); Put16(out, 0); Put16(out, uint32_t(entries.size()));
  Put16(out, uint32_t(entries.size())); Put32(out, uint32_t(dir.size())); Put32(out, dirAt);
  Put16(out, uint32_t(comment.size()));
  out += comment;
  return out;
}

}  // namespace ziptest
