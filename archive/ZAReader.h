// The one bounds-checked little-endian reader through which every on-disk record is decoded.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace velarin::archive {

// Reads fields from a byte span in order. A read past the end answers zero and sets
// a sticky failure flag, so a record is decoded whole and checked once with Ok().
class TZAReader {
 public:
  TZAReader(const void* data, size_t size) : p_(static_cast<const uint8_t*>(data)), size_(size) {}
  TZAReader(const std::string& s) : TZAReader(s.data(), s.size()) {}

  bool Ok() const noexcept { return ok_; }
  size_t Offset() const noexcept { return pos_; }
  size_t Remaining() const noexcept { return size_ - pos_; }

  uint8_t U8() { return uint8_t(Get(1)); }
  uint16_t U16() { return uint16_t(Get(2)); }
  uint32_t U32() { return uint32_t(Get(4)); }
  uint64_t U64() { return Get(8); }

  // Copies n bytes out; a short span gives an empty string and a failure.
  std::string Bytes(size_t n) {
    if (!Take(n)) return std::string();
    return std::string(reinterpret_cast<const char*>(p_ + pos_ - n), n);
  }
  const uint8_t* Span(size_t n) { return Take(n) ? p_ + pos_ - n : nullptr; }
  void Skip(size_t n) { Take(n); }

 private:
  bool Take(size_t n) {
    if (!ok_ || n > size_ - pos_) {
      ok_ = false;
      return false;
    }
    pos_ += n;
    return true;
  }
  uint64_t Get(size_t n) {
    if (!Take(n)) return 0;
    uint64_t v = 0;
    for (size_t i = n; i-- > 0;) v = (v << 8) | p_[pos_ - n + i];
    return v;
  }

  const uint8_t* p_;
  size_t size_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Little-endian stores into a bounded buffer, for the records the component writes.
inline void ZAPut16(uint8_t* p, uint16_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
inline void ZAPut32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}
inline void ZAPut64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = uint8_t(v >> (8 * i));
}

// Appends little-endian fields to a record being assembled in memory.
class TZAWriter {
 public:
  explicit TZAWriter(std::string& out) : out_(out) {}
  TZAWriter& U16(uint16_t v) { return Put(v, 2); }
  TZAWriter& U32(uint32_t v) { return Put(v, 4); }
  TZAWriter& U64(uint64_t v) { return Put(v, 8); }
  TZAWriter& Bytes(const std::string& s) {
    out_ += s;
    return *this;
  }

 private:
  TZAWriter& Put(uint64_t v, int n) {
    for (int i = 0; i < n; ++i) out_ += char(uint8_t(v >> (8 * i)));
    return *this;
  }
  std::string& out_;
};

}  // namespace velarin::archive
