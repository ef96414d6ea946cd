// Code-page conversions on Windows: the ANSI and OEM code pages through the system's own tables.
#include "platform/codepage.h"
#include "platform/text.h"

#include <windows.h>

#include <climits>

namespace velarin::platform {
namespace {

const wchar_t* W(const char16_t* p) { return reinterpret_cast<const wchar_t*>(p); }

bool AllAscii(std::string_view s) {
  for (unsigned char c : s)
    if (c >= 0x80) return false;
  return true;
}
bool AllAscii(std::u16string_view s) {
  for (char16_t c : s)
    if (c >= 0x80) return false;
  return true;
}

// Length of the valid UTF-8 sequence at s[i], or 0 when the byte there starts none
// (overlong forms, surrogates and values past U+10FFFF are invalid).
size_t Utf8SequenceAt(std::string_view s, size_t i, char32_t* cp) {
  auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char c = b(i);
  size_t n;
  char32_t v, min;
  if (c < 0x80) { *cp = c; return 1; }
  if (c >= 0xC2 && c <= 0xDF) { n = 2; v = c & 0x1F; min = 0x80; }
  else if (c >= 0xE0 && c <= 0xEF) { n = 3; v = c & 0x0F; min = 0x800; }
  else if (c >= 0xF0 && c <= 0xF4) { n = 4; v = c & 0x07; min = 0x10000; }
  else return 0;
  if (s.size() - i < n) return 0;
  for (size_t k = 1; k < n; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return n;
}

// UTF-8 to 16-bit; an invalid byte becomes U+DC80 + byte, as on Linux.
std::u16string DecodeUtf8(std::string_view s, bool* exact = nullptr) {
  if (exact) *exact = true;
  if (AllAscii(s)) return std::u16string(s.begin(), s.end());
  std::u16string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    char32_t cp;
    size_t n = Utf8SequenceAt(s, i, &cp);
    if (n == 0) {
      if (exact) *exact = false;
      out.push_back(char16_t(0xDC00 + static_cast<unsigned char>(s[i])));
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
    i += n;
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(char(cp));
  } else if (cp < 0x800) {
    out.push_back(char(0xC0 | (cp >> 6)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(char(0xE0 | (cp >> 12)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(char(0xF0 | (cp >> 18)));
    out.push_back(char(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(char(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(char(0x80 | (cp & 0x3F)));
  }
}

// 16-bit to UTF-8; U+DC80..U+DCFF go back as the byte they stand for, any other
// lone surrogate becomes U+FFFD. lossless tells whether no U+FFFD was needed.
std::string EncodeUtf8(std::u16string_view s, bool* lossless = nullptr) {
  if (lossless) *lossless = true;
  if (AllAscii(s)) return std::string(s.begin(), s.end());
  std::string out;
  out.reserve(s.size() * 3);
  for (size_t i = 0; i < s.size(); ++i) {
    char16_t u = s[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
      AppendUtf8(out, 0x10000 + ((char32_t(u) - 0xD800) << 10) + (char32_t(s[i + 1]) - 0xDC00));
      ++i;
    } else if (u >= 0xDC80 && u <= 0xDCFF) {
      out.push_back(char(u - 0xDC00));
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      out += "\xEF\xBF\xBD";
      if (lossless) *lossless = false;
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

// Whole-string conversion by the system; answers false when a byte has no character.
bool MultiToWide(UINT cp, DWORD flags, std::string_view s, std::u16string& out) {
  out.clear();
  if (s.empty()) return true;
  if (s.size() > size_t(INT_MAX)) return false;
  int n = MultiByteToWideChar(cp, flags, s.data(), int(s.size()), nullptr, 0);
  if (n <= 0) return false;
  out.resize(size_t(n));
  n = MultiByteToWideChar(cp, flags, s.data(), int(s.size()), reinterpret_cast<wchar_t*>(out.data()), n);
  if (n <= 0) return false;
  out.resize(size_t(n));
  return true;
}

// A code page without UTF-8: bytes the table rejects (a lead byte without its
// trail, an unassigned code) become U+DC80 + byte, so the name survives the way back.
std::u16string DecodeAnsi(UINT cp, std::string_view s, bool* exact = nullptr) {
  if (exact) *exact = true;
  if (AllAscii(s)) return std::u16string(s.begin(), s.end());
  std::u16string out;
  if (MultiToWide(cp, MB_ERR_INVALID_CHARS, s, out)) return out;
  out.clear();
  std::u16string piece;
  for (size_t i = 0; i < s.size();) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    size_t n = (IsDBCSLeadByteEx(cp, c) && i + 1 < s.size()) ? 2 : 1;
    if (MultiToWide(cp, MB_ERR_INVALID_CHARS, s.substr(i, n), piece)) {
      out += piece;
      i += n;
    } else {
      if (exact) *exact = false;
      out.push_back(char16_t(0xDC00 + c));
      ++i;
    }
  }
  return out;
}

// 16-bit to a non-UTF-8 code page. flags and the default character decide how
// unmappable characters come out; exact reports whether any needed the default.
std::string EncodeRun(UINT cp, DWORD flags, std::u16string_view s, bool* exact) {
  if (s.empty()) return {};
  BOOL usedDefault = FALSE;
  const wchar_t* src = W(s.data());
  int len = int(s.size());
  int n = WideCharToMultiByte(cp, flags, src, len, nullptr, 0, nullptr, exact ? &usedDefault : nullptr);
  if (n <= 0) {
    if (exact) *exact = false;
    return std::string(s.size(), '?');
  }
  std::string out(size_t(n), '\0');
  n = WideCharToMultiByte(cp, flags, src, len, out.data(), n, nullptr, exact ? &usedDefault : nullptr);
  out.resize(n > 0 ? size_t(n) : 0);
  if (exact && usedDefault) *exact = false;
  return out;
}

std::string EncodeAnsi(UINT cp, DWORD flags, std::u16string_view s, bool* exact) {
  if (exact) *exact = true;
  if (AllAscii(s)) return std::string(s.begin(), s.end());
  std::string out;
  size_t start = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    bool escaped = i < s.size() && s[i] >= 0xDC80 && s[i] <= 0xDCFF &&
                   !(i > 0 && s[i - 1] >= 0xD800 && s[i - 1] <= 0xDBFF);
    if (i == s.size() || escaped) {
      out += EncodeRun(cp, flags, s.substr(start, i - start), exact);
      if (escaped) out.push_back(char(s[i] - 0xDC00));
      start = i + 1;
    }
  }
  return out;
}

}  // namespace

bool SysIsUtf8() { return GetACP() == CP_UTF8; }

std::u16string SysToWide(std::string_view s, bool* exact) {
  return SysIsUtf8() ? DecodeUtf8(s, exact) : DecodeAnsi(CP_ACP, s, exact);
}

std::string WideToSys(std::u16string_view s) {
  return SysIsUtf8() ? EncodeUtf8(s) : EncodeAnsi(CP_ACP, 0, s, nullptr);
}

std::u16string Utf8ToWide(std::string_view s) { return DecodeUtf8(s); }
std::string WideToUtf8(std::u16string_view s) { return EncodeUtf8(s); }

std::u16string OemToWide(std::string_view s) {
  return GetOEMCP() == CP_UTF8 ? DecodeUtf8(s) : DecodeAnsi(CP_OEMCP, s);
}

std::string WideToOem(std::u16string_view s, bool* exact) {
  if (GetOEMCP() == CP_UTF8) return EncodeUtf8(s, exact);
  // No best fit: a name that comes back different is not an exact representation.
  return EncodeAnsi(CP_OEMCP, WC_NO_BEST_FIT_CHARS, s, exact);
}

bool EncodingHolds(std::string_view encoding, std::u16string_view text) {
  if (text.empty()) return true;
  const std::string name = AsciiLower(encoding);
  // Names as XML declarations give them, to the code pages the system converts with.
  static const struct {
    const char* name;
    UINT page;
  } kPages[] = {{"us-ascii", 20127},     {"ascii", 20127},        {"iso-8859-1", 28591},   {"latin1", 28591},
                {"iso-8859-2", 28592},   {"iso-8859-3", 28593},   {"iso-8859-4", 28594},   {"iso-8859-5", 28595},
                {"iso-8859-6", 28596},   {"iso-8859-7", 28597},   {"iso-8859-8", 28598},   {"iso-8859-9", 28599},
                {"iso-8859-13", 28603},  {"iso-8859-15", 28605},  {"koi8-r", 20866},       {"koi8-u", 21866},
                {"ibm866", 866},         {"cp866", 866},          {"ibm437", 437},         {"cp437", 437},
                {"cp850", 850},          {"windows-874", 874},    {"windows-1250", 1250},  {"windows-1251", 1251},
                {"windows-1252", 1252},  {"windows-1253", 1253},  {"windows-1254", 1254},  {"windows-1255", 1255},
                {"windows-1256", 1256},  {"windows-1257", 1257},  {"windows-1258", 1258},  {"cp1250", 1250},
                {"cp1251", 1251},        {"cp1252", 1252},        {"shift_jis", 932},      {"euc-jp", 20932},
                {"gb2312", 936},         {"gbk", 936},            {"big5", 950},           {"euc-kr", 949}};
  if (name.empty() || name == "utf-8" || name == "utf-16" || name == "utf-16le" || name == "utf-16be" ||
      name == "ucs-2" || name == "gb18030") {
    // every character; only a lone surrogate has no form
    for (size_t i = 0; i < text.size(); ++i) {
      const char16_t u = text[i];
      if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
        ++i;
      else if (u >= 0xD800 && u <= 0xDFFF)
        return false;
    }
    return true;
  }
  for (const auto& p : kPages) {
    if (name != p.name) continue;
    if (text.size() > size_t(INT_MAX)) return false;
    BOOL usedDefault = FALSE;
    const int n = WideCharToMultiByte(p.page, WC_NO_BEST_FIT_CHARS, W(text.data()), int(text.size()), nullptr, 0,
                                      nullptr, &usedDefault);
    return n > 0 && !usedDefault;
  }
  return false;
}

size_t SysCutLength(std::string_view s, size_t max) {
  if (s.size() <= max) return s.size();
  if (SysIsUtf8()) {
    size_t n = max;
    for (int back = 0; back < 3 && n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80; ++back)
      --n;
    if ((static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) return max;
    return n;
  }
  CPINFO info{};
  if (!GetCPInfo(CP_ACP, &info) || info.MaxCharSize < 2) return max;
  // Double-byte code page: walk from the start, a trail byte cannot be told apart otherwise.
  size_t i = 0;
  while (i < max) {
    size_t n = IsDBCSLeadByteEx(CP_ACP, static_cast<unsigned char>(s[i])) ? 2 : 1;
    if (i + n > max) break;
    i += n;
  }
  return i;
}

}  // namespace velarin::platform
