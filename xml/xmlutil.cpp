// Byte-form detection, line normalisation, namespace comparison and text checks of the document layer.
#include "xml/xmlutil.h"

#include <cstring>

#include "platform/codepage.h"
#include "platform/text.h"

namespace velarin::xml {
namespace {

bool At(std::string_view b, size_t pos, const char (&sig)[5]) {
  return pos + 4 <= b.size() && std::memcmp(b.data() + pos, sig, 4) == 0;
}

// The four-byte signatures, in their order.
ByteForm FourByteSignature(std::string_view b, size_t pos) {
  if (At(b, pos, "\x00\x00\xFE\xFF")) return ByteForm::UCS4BigEndianMark;
  if (At(b, pos, "\xFF\xFE\x00\x00")) return ByteForm::UCS4LittleEndianMark;
  if (At(b, pos, "\x00\x00\xFF\xFE")) return ByteForm::UCS4Order2143;
  if (At(b, pos, "\xFE\xFF\x00\x00")) return ByteForm::UCS4Order3412;
  if (At(b, pos, "\x00\x3C\x00\x3F")) return ByteForm::UTF16BigEndianLike;
  if (At(b, pos, "\x3C\x00\x3F\x00")) return ByteForm::UTF16LittleEndianLike;
  if (At(b, pos, "\x3C\x3F\x78\x6D")) return ByteForm::EightBitLike;
  if (At(b, pos, "\x4C\x6F\xA7\x94")) return ByteForm::EBCDICLike;
  if (At(b, pos, "\x00\x00\x00\x3C") && At(b, pos + 4, "\x00\x00\x00\x3F"))
    return ByteForm::UCS4BigEndianLike;
  if (At(b, pos, "\x3C\x00\x00\x00") && At(b, pos + 4, "\x3F\x00\x00\x00"))
    return ByteForm::UCS4LittleEndianLike;
  if (At(b, pos, "\x00\x00\x00\x3C") || At(b, pos, "\x3C\x00\x00\x00") ||
      At(b, pos, "\x00\x00\x3C\x00") || At(b, pos, "\x00\x3C\x00\x00"))
    return ByteForm::UCS4Like;
  return ByteForm::Unknown;
}

bool IsAscii(std::u16string_view s) {
  for (char16_t c : s)
    if (c >= 0x80) return false;
  return true;
}

}  // namespace

namespace {

// The checks at one position; absolute is the position in the whole byte stream.
ByteForm CheckAt(std::string_view b, size_t pos, unsigned long long absolute) {
  ByteForm f = ByteForm::Unknown;
  switch (absolute % 4) {
    case 0:
      f = FourByteSignature(b, pos);
      break;
    case 2:
      f = FourByteSignature(b, pos);
      if (f == ByteForm::Unknown) {
        if (At(b, pos, "\xFE\xFF\x00\x00"))
          f = ByteForm::UTF16BigEndian;
        else if (At(b, pos, "\xFF\xFE\x00\x00"))
          f = ByteForm::UTF16LittleEndian;
      }
      break;
    default:
      break;
  }
  if (f == ByteForm::Unknown && std::memcmp(b.data() + pos, "\xEF\xBB\xBF", 3) == 0)
    f = ByteForm::UTF8Signature;
  return f;
}

}  // namespace

ByteForm DetectByteForm(std::string_view b) {
  for (size_t pos = 0; pos + 4 <= b.size(); ++pos) {
    ByteForm f = CheckAt(b, pos, pos);
    if (f != ByteForm::Unknown) return f;
  }
  return ByteForm::Unknown;
}

// A position is scanned once the 8 bytes its longest check reads are there,
// so a piece boundary never changes the answer.
void TByteFormScanner::Scan(size_t lookahead) {
  size_t pos = 0;
  for (; pos + lookahead <= carry_.size(); ++pos) {
    ByteForm f = CheckAt(carry_, pos, carryPos_ + pos);
    if (f != ByteForm::Unknown) {
      form_ = f;
      decided_ = true;
      carry_.clear();
      return;
    }
  }
  carry_.erase(0, pos);
  carryPos_ += pos;
}

void TByteFormScanner::Feed(const char* data, size_t size) {
  if (decided_) return;
  carry_.append(data, size);
  Scan(8);
}

ByteForm TByteFormScanner::Finish() {
  if (!decided_) Scan(4);
  decided_ = true;
  return form_;
}

void TLineBuilder::Append(const char* data, size_t size) {
  if (stopped_) return;
  const char* p = data;
  const char* end = p + size;
  // Only the first character after a CR can complete its break, even when it is
  // a whole piece by itself.
  if (pendingCR_ && p < end) {
    if (*p == '\n') ++p;
    pendingCR_ = false;
  }
  const char* start = p;
  while (p < end) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c > '\r') {
      ++p;
      continue;
    }
    if (c == '\r' || c == '\n') {
      out_.append(start, size_t(p - start));
      out_.append("\r\n", 2);
      midLine_ = false;
      if (c == '\r') {
        if (p + 1 < end) {
          if (p[1] == '\n') ++p;
        } else {
          pendingCR_ = true;
        }
      }
      start = ++p;
    } else if (c == 0) {
      end = p;
      stopped_ = true;
    } else {
      ++p;
    }
  }
  if (end > start) {
    out_.append(start, size_t(end - start));
    midLine_ = true;
  }
}

std::string TLineBuilder::Take() {
  if (midLine_) out_.append("\r\n", 2);
  midLine_ = false;
  return std::move(out_);
}

void AppendNormalizedLines(std::string& out, std::string_view text) {
  TLineBuilder lines(std::move(out), text.size());
  lines.Append(text.data(), text.size());
  out = lines.Take();
}

bool SameNamespace(std::u16string_view a, std::u16string_view b) {
  // Where the system code page holds every character (UTF-8), or both are ASCII
  // (the same in every code page), the 16-bit texts compare like their 8-bit forms.
  if (platform::SysIsUtf8() || (IsAscii(a) && IsAscii(b))) return platform::EqualAsciiNoCase(a, b);
  return platform::EqualAsciiNoCase(platform::WideToSys(a), platform::WideToSys(b));
}

bool IsXmlText(std::u16string_view s) {
  for (size_t i = 0; i < s.size(); ++i) {
    const char16_t u = s[i];
    if (u < 0x20) {
      if (u != u'\t' && u != u'\n' && u != u'\r') return false;
    } else if (u >= 0xD800 && u <= 0xDBFF) {
      if (i + 1 == s.size() || s[i + 1] < 0xDC00 || s[i + 1] > 0xDFFF) return false;
      ++i;
    } else if ((u >= 0xDC00 && u <= 0xDFFF) || u == 0xFFFE || u == 0xFFFF) {
      return false;
    }
  }
  return true;
}

bool CDataHolds(std::u16string_view s, std::string_view encoding) {
  return s.find(u"]]>") == std::u16string_view::npos && (IsAscii(s) || platform::EncodingHolds(encoding, s));
}

}  // namespace velarin::xml
