#include "xml/textlength.h"

#include <cstring>

namespace velarin::xml {
namespace {

// How many bytes of w have their top bit set (w has no other bits): summed by
// one multiplication, without a popcount instruction the target may lack.
inline std::int64_t ByteFlags(std::uint64_t w) {
  return std::int64_t(((w >> 7) * 0x0101010101010101ull) >> 56);
}

}  // namespace

std::int64_t Utf16Length(const char* utf8) {
  if (!utf8) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  const size_t len = std::strlen(utf8);
  std::int64_t n = std::int64_t(len);
  const std::uint64_t high = 0x8080808080808080ull;
  size_t i = 0;
  for (; i + 8 <= len; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    if ((w & high) == 0) continue;  // all ASCII
    std::uint64_t continuation = w & ~(w << 1) & high;                        // 10xxxxxx
    std::uint64_t fourByteLead = w & (w << 1) & (w << 2) & (w << 3) & high;  // 1111xxxx
    n -= ByteFlags(continuation);
    n += ByteFlags(fourByteLead);
  }
  for (; i < len; ++i) {
    n -= (s[i] & 0xC0) == 0x80;
    n += s[i] >= 0xF0;
  }
  return n;
}

}  // namespace velarin::xml
