#include "xml/textlength.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velarin::xml {
namespace {

// How many bytes of w have their top bit set (w has no other bits): summed by
// one multiplication, without a popcount instruction the target may lack.
inline std::int64_t ByteFlags(std::uint64_t w) {
  return std::int64_t(((w >> 7) * 0x0101010101010101ull) >> 56);
}

// Eight bytes at a time: the length, less continuation bytes (10xxxxxx), plus
// four-byte leads (1111xxxx).
std::int64_t CountWords(const unsigned char* s, size_t len, size_t& i) {
  std::int64_t n = 0;
  const std::uint64_t high = 0x8080808080808080ull;
  for (; i + 8 <= len; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, s + i, 8);
    if ((w & high) == 0) continue;  // all ASCII
    n -= ByteFlags(w & ~(w << 1) & high);
    n += ByteFlags(w & (w << 1) & (w << 2) & (w << 3) & high);
  }
  return n;
}

#if defined(__SSE2__)
// Sixteen bytes at a time: continuation bytes are the ones below -64 as signed
// bytes, four-byte leads the ones from 0xF0 unsigned; per-byte counters are
// summed before they can overflow.
std::int64_t CountBlocks(const unsigned char* s, size_t len, size_t& i) {
  std::int64_t n = 0;
  const __m128i belowLead = _mm_set1_epi8(-64);
  const __m128i fourLead = _mm_set1_epi8(char(0xF0));
  const __m128i zero = _mm_setzero_si128();
  while (i + 16 <= len) {
    size_t rounds = 0;
    __m128i cont = zero, lead = zero;
    for (; rounds < 255 && i + 16 <= len; ++rounds, i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
      cont = _mm_sub_epi8(cont, _mm_cmplt_epi8(v, belowLead));
      lead = _mm_sub_epi8(lead, _mm_cmpeq_epi8(_mm_max_epu8(v, fourLead), v));
    }
    const __m128i c = _mm_sad_epu8(cont, zero);
    const __m128i l = _mm_sad_epu8(lead, zero);
    n -= _mm_cvtsi128_si32(c) + _mm_cvtsi128_si32(_mm_srli_si128(c, 8));
    n += _mm_cvtsi128_si32(l) + _mm_cvtsi128_si32(_mm_srli_si128(l, 8));
  }
  return n;
}
#endif

}  // namespace

std::int64_t Utf16Length(const char* utf8) {
  if (!utf8) return 0;
  const auto* s = reinterpret_cast<const unsigned char*>(utf8);
  const size_t len = std::strlen(utf8);
  std::int64_t n = std::int64_t(len);
  size_t i = 0;
#if defined(__SSE2__)
  n += CountBlocks(s, len, i);
#endif
  n += CountWords(s, len, i);
  for (; i < len; ++i) {
    n -= (s[i] & 0xC0) == 0x80;
    n += s[i] >= 0xF0;
  }
  return n;
}

}  // namespace velarin::xml
