// A book's bytes made UTF-8 for pugixml (UTF-16 and code pages through iconv), and the hand-over tests.
#include "xml/pugiinput.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>

#include "platform/limits.h"
#include "xml/pugiinput_scan.h"
#include "xml/xmldecl.h"

namespace velarin::xml {
namespace {

// An iconv descriptor that closes itself; invalid when iconv does not know the names.
class Iconv {
 public:
  Iconv(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Iconv() {
    if (Valid()) iconv_close(cd_);
  }
  Iconv(const Iconv&) = delete;
  Iconv& operator=(const Iconv&) = delete;
  bool Valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t Get() const { return cd_; }

 private:
  iconv_t cd_;
};

bool SameLetters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if ((a[i] | 0x20) != (b[i] | 0x20)) return false;
  return true;
}

bool StartsLike(std::string_view name, std::string_view prefix) {
  return name.size() >= prefix.size() && SameLetters(name.substr(0, prefix.size()), prefix);
}

// Encodings whose text does not begin with the declaration's ASCII bytes, or that
// libxml2 decodes by itself rather than through iconv: the fast path leaves them alone.
bool IsWideOrSpecial(std::string_view name) {
  for (std::string_view p : {"UTF-16", "UTF16", "UTF-32", "UTF32", "UCS", "ISO-10646", "UTF-7", "UTF7", "HTML"})
    if (StartsLike(name, p)) return true;
  return false;
}

// Converts in from the encoding from to UTF-8 in one pass into a buffer sized
// by halves (half bytes out per byte in), grown only when that proves short.
// False when iconv does not know the name either way (libxml2 then refuses it)
// or meets a byte the encoding does not map or a cut-off character.
bool ToUtf8(const char* from, std::string_view in, std::size_t halves, std::string& out) {
  Iconv cd("UTF-8", from);
  if (!cd.Valid() || !Iconv(from, "UTF-8").Valid()) return false;
  out.resize(in.size() / 2 * halves + 64);
  char* src = const_cast<char*>(in.data());
  std::size_t srcLeft = in.size();
  std::size_t used = 0;
  for (;;) {
    char* dst = out.data() + used;
    std::size_t dstLeft = out.size() - used;
    const std::size_t r = iconv(cd.Get(), &src, &srcLeft, &dst, &dstLeft);
    used = std::size_t(dst - out.data());
    if (r != std::size_t(-1)) {
      if (r != 0) return false;  // a character replaced by an approximation
      break;
    }
    if (errno != E2BIG) return false;
    out.resize(out.size() + srcLeft * 3 + 64);
  }
  out.resize(used);
  return true;
}

// Which UTF-16 the bytes are in, as libxml2 recognises it: by the byte order mark
// or by "<?" in the first four bytes. 0 for none, 2 when a mark leads.
struct Utf16 {
  bool found = false;
  bool bigEndian = false;
  std::size_t mark = 0;
};
Utf16 DetectUtf16(std::string_view b) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(b[i]); };
  if (b.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) return {true, false, 2};
  if (b.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) return {true, true, 2};
  if (b.size() >= 4 && at(0) == '<' && at(1) == 0 && at(2) == '?' && at(3) == 0) return {true, false, 0};
  if (b.size() >= 4 && at(0) == 0 && at(1) == '<' && at(2) == 0 && at(3) == '?') return {true, true, 0};
  return {};
}

bool HasUtf8Mark(std::string_view b) { return b.size() >= 3 && b.substr(0, 3) == "\xEF\xBB\xBF"; }

// Checks the declaration and the text after it once input.text holds the UTF-8
// text. declaration: what the libxml2 back-end reads from the same bytes.
void Check(PugiInput& input, const Declaration& declaration, const PugiDeclaration& decl) {
  if (decl.handOver) {
    input.handOver = decl.handOver;
    return;
  }
  if (declaration.present != decl.present) {
    input.handOver = "a declaration the libxml2 back-end reads differently";
    return;
  }
  input.declared = decl.present;
  input.declaration = declaration.text;
  input.handOver = ScanForHandOver(input.text, decl.end);
}

// UTF-16 text (from the byte order mark, or from "<?" without one), converted whole.
PugiInput FromUtf16(std::string&& bytes, const Utf16& utf16) {
  PugiInput input;
  input.byteOrderMark = utf16.mark > 0;
  const Declaration declaration = ReadDeclaration(bytes);
  const std::string_view body = std::string_view(bytes).substr(utf16.mark);
  if (!ToUtf8(utf16.bigEndian ? "UTF-16BE" : "UTF-16LE", body, 3, input.text)) {
    input.handOver = "UTF-16 that is not well-formed";
    return input;
  }
  std::string().swap(bytes);
  const PugiDeclaration decl = CheckPugiDeclaration(input.text);
  input.encoding = std::string(decl.encoding);
  // libxml2 decodes UTF-16 itself; a declaration naming another encoding switches it.
  if (!decl.encoding.empty() && !SameLetters(decl.encoding, "UTF-16") && !SameLetters(decl.encoding, "UTF16")) {
    input.handOver = "UTF-16 whose declaration names another encoding";
    return input;
  }
  Check(input, declaration, decl);
  return input;
}

bool IsUtf8Name(std::string_view name) { return name.empty() || SameLetters(name, "UTF-8"); }

// 8-bit bytes: UTF-8 as they are, any other encoding the declaration names through iconv.
PugiInput FromBytes(std::string&& bytes) {
  PugiInput input;
  input.byteOrderMark = HasUtf8Mark(bytes);
  const Declaration declaration = ReadDeclaration(bytes);
  const std::size_t mark = input.byteOrderMark ? 3 : 0;
  const PugiDeclaration decl = CheckPugiDeclaration(std::string_view(bytes).substr(mark));
  input.encoding = std::string(decl.encoding);
  if (decl.handOver) {
    input.handOver = decl.handOver;
    return input;
  }
  if (IsUtf8Name(decl.encoding)) {
    input.text = std::move(bytes);
    if (mark) input.text.erase(0, mark);
  } else if (mark) {
    input.handOver = "a UTF-8 byte order mark with another encoding declared";
    return input;
  } else if (IsWideOrSpecial(decl.encoding)) {
    input.handOver = "a declared encoding the fast path does not convert";
    return input;
  } else {
    const std::string name(decl.encoding);
    if (!ToUtf8(name.c_str(), bytes, 4, input.text)) {
      input.handOver = "an encoding iconv does not know, or bytes it does not map";
      return input;
    }
    // libxml2 reads the declaration as ASCII before it switches: it must read the same converted.
    if (std::string_view(input.text).substr(0, decl.end) != std::string_view(bytes).substr(0, decl.end)) {
      input.handOver = "an encoding that does not keep ASCII as it is";
      return input;
    }
    std::string().swap(bytes);
  }
  Check(input, declaration, decl);
  return input;
}

}  // namespace

PugiInput PrepareBytes(std::string&& bytes) {
  if (std::int64_t(bytes.size()) > platform::kMaxBookText) {
    PugiInput input;
    input.handOver = "text past the bound on a book";
    return input;
  }
  const Utf16 utf16 = DetectUtf16(bytes);
  if (utf16.found) return FromUtf16(std::move(bytes), utf16);
  return FromBytes(std::move(bytes));
}

PugiInput PrepareUtf8Text(std::string&& utf8) {
  PugiInput input;
  if (std::int64_t(utf8.size()) > platform::kMaxBookText) {
    input.handOver = "text past the bound on a book";
    return input;
  }
  const Declaration declaration = ReadDeclaration(utf8);
  input.byteOrderMark = HasUtf8Mark(utf8);
  input.text = std::move(utf8);
  if (input.byteOrderMark) input.text.erase(0, 3);
  const PugiDeclaration decl = CheckPugiDeclaration(input.text);
  input.encoding = std::string(decl.encoding);
  Check(input, declaration, decl);
  return input;
}

}  // namespace velarin::xml
