// Code-page conversions on Linux through iconv: the system code page is UTF-8, the OEM one IBM437.
#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace velarin::platform {
namespace {

// One cached conversion descriptor per direction, used under its own lock (an
// iconv_t is not shareable). Not thread_local: a thread-local object with a
// destructor would keep the module from unloading on dlclose.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) throw std::runtime_error("iconv_open failed");
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts in to out; on an invalid or unconvertible input unit calls onBad,
  // which answers how many input bytes it consumed after appending its own output.
  template <class OnBad>
  void Run(const char* in, size_t inLen, std::string& out, OnBad onBad) {
    std::lock_guard<std::mutex> lock(mutex_);
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    size_t start = out.size();
    out.resize(start + inLen * 2 + 16);
    char* dst = out.data() + start;
    size_t dstLeft = out.size() - start;
    char* src = const_cast<char*>(in);
    size_t srcLeft = inLen;
    while (srcLeft > 0) {
      size_t r = iconv(cd_, &src, &srcLeft, &dst, &dstLeft);
      if (r != size_t(-1)) break;
      if (errno == E2BIG) {
        size_t used = size_t(dst - out.data());
        out.resize(out.size() * 2 + 16);
        dst = out.data() + used;
        dstLeft = out.size() - used;
        continue;
      }
      // EILSEQ or EINVAL: hand the bad unit to the caller's policy.
      size_t used = size_t(dst - out.data());
      out.resize(used);
      size_t skip = onBad(src, srcLeft, out);
      src += skip;
      srcLeft -= skip;
      iconv(cd_, nullptr, nullptr, nullptr, nullptr);
      used = out.size();
      out.resize(used + srcLeft * 2 + 16);
      dst = out.data() + used;
      dstLeft = out.size() - used;
    }
    out.resize(size_t(dst - out.data()));
  }

 private:
  iconv_t cd_;
  std::mutex mutex_;
};

Converter& Utf8ToUtf16() {
  static Converter c("UTF-16LE", "UTF-8");
  return c;
}
Converter& Utf16ToUtf8() {
  static Converter c("UTF-8", "UTF-16LE");
  return c;
}
Converter& OemToUtf16() {
  static Converter c("UTF-16LE", "IBM437");
  return c;
}
Converter& Utf16ToOem() {
  static Converter c("IBM437", "UTF-16LE");
  return c;
}

void AppendUnit(std::string& out, char16_t u) {
  out.push_back(char(u & 0xFF));
  out.push_back(char(u >> 8));
}

std::u16string FromUnits(const std::string& bytes) {
  std::u16string s(bytes.size() / 2, u'\0');
  std::memcpy(s.data(), bytes.data(), s.size() * 2);
  return s;
}

bool AllAscii(const char* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (static_cast<unsigned char>(p[i]) >= 0x80) return false;
  return true;
}
bool AllAscii(const char16_t* p, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (p[i] >= 0x80) return false;
  return true;
}

// UTF-8 bytes to 16-bit; an invalid byte becomes U+DC80 + byte (kept for the way back).
std::u16string DecodeUtf8Escaped(std::string_view s, bool* exact = nullptr) {
  if (exact) *exact = true;
  if (AllAscii(s.data(), s.size())) return std::u16string(s.begin(), s.end());
  std::string units;
  Utf8ToUtf16().Run(s.data(), s.size(), units, [exact](const char* bad, size_t, std::string& out) {
    if (exact) *exact = false;
    AppendUnit(out, char16_t(0xDC00 + static_cast<unsigned char>(*bad)));
    return size_t(1);
  });
  return FromUnits(units);
}

// 16-bit to UTF-8; an escaped byte U+DC80..U+DCFF goes back as that byte, any other
// lone surrogate becomes U+FFFD.
std::string EncodeUtf8Escaped(std::u16string_view s) {
  if (AllAscii(s.data(), s.size())) return std::string(s.begin(), s.end());
  std::string out;
  Utf16ToUtf8().Run(reinterpret_cast<const char*>(s.data()), s.size() * 2, out,
                    [](const char* bad, size_t left, std::string& o) {
                      if (left < 2) return left;
                      char16_t u = char16_t(static_cast<unsigned char>(bad[0]) |
                                            static_cast<unsigned char>(bad[1]) << 8);
                      if (u >= 0xDC80 && u <= 0xDCFF)
                        o.push_back(char(u - 0xDC00));
                      else
                        o += "\xEF\xBF\xBD";
                      return size_t(2);
                    });
  return out;
}

}  // namespace

std::u16string SysToWide(std::string_view s, bool* exact) { return DecodeUtf8Escaped(s, exact); }
std::string WideToSys(std::u16string_view s) { return EncodeUtf8Escaped(s); }
bool SysIsUtf8() { return true; }

std::u16string Utf8ToWide(std::string_view s) { return DecodeUtf8Escaped(s); }
std::string WideToUtf8(std::u16string_view s) { return EncodeUtf8Escaped(s); }

std::u16string OemToWide(std::string_view s) {
  if (AllAscii(s.data(), s.size())) return std::u16string(s.begin(), s.end());
  std::string units;
  // Every IBM437 byte has a character, so the policy is never needed; keep it safe anyway.
  OemToUtf16().Run(s.data(), s.size(), units, [](const char*, size_t, std::string& out) {
    AppendUnit(out, u'?');
    return size_t(1);
  });
  return FromUnits(units);
}

std::string WideToOem(std::u16string_view s, bool* exact) {
  if (exact) *exact = true;
  if (AllAscii(s.data(), s.size())) return std::string(s.begin(), s.end());
  std::string out;
  Utf16ToOem().Run(reinterpret_cast<const char*>(s.data()), s.size() * 2, out,
                   [exact](const char* bad, size_t left, std::string& o) {
                     if (exact) *exact = false;
                     o.push_back('?');
                     // a surrogate pair is one character
                     if (left >= 4) {
                       char16_t u = char16_t(static_cast<unsigned char>(bad[0]) |
                                             static_cast<unsigned char>(bad[1]) << 8);
                       if (u >= 0xD800 && u <= 0xDBFF) return size_t(4);
                     }
                     return left < 2 ? left : size_t(2);
                   });
  return out;
}

bool EncodingHolds(std::string_view encoding, std::u16string_view text) {
  if (text.empty()) return true;
  // iconv reads "//" as options (transliteration would hide what is lost)
  std::string name = encoding.empty() ? std::string("UTF-8") : std::string(encoding);
  if (name.find('/') != std::string::npos || name.find('\0') != std::string::npos) return false;
  iconv_t cd = iconv_open(name.c_str(), "UTF-16LE");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  char* src = const_cast<char*>(reinterpret_cast<const char*>(text.data()));
  size_t srcLeft = text.size() * 2;
  char buffer[4096];
  bool holds = true;
  while (holds) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    const size_t r = iconv(cd, srcLeft ? &src : nullptr, srcLeft ? &srcLeft : nullptr, &dst, &dstLeft);
    if (r == size_t(-1)) {
      holds = errno == E2BIG;  // EILSEQ: no such character; EINVAL: a lone surrogate at the end
    } else {
      // a conversion the encoding could only approximate counts as lost
      holds = r == 0;
      if (srcLeft == 0) break;
    }
  }
  iconv_close(cd);
  return holds;
}

size_t SysCutLength(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  // s[max] is the first byte left out: when it continues a sequence, cut
  // before that sequence's lead byte (at most 3 bytes back; stray bytes cut as they are).
  size_t n = max;
  for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80; ++back)
    --n;
  // Only a lead byte starts the sequence that would be cut; anything else
  // means stray continuation bytes, cut where the limit falls.
  return static_cast<unsigned char>(s[n]) >= 0xC0 ? n : max;
}

}  // namespace velarin::platform
