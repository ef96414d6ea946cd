// The hand-over scan: one pass over UTF-8 text, plain ASCII skipped a block at a time.
#include "xml/pugiinput_scan.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

#include "xml/markupscan.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velarin::xml {
namespace {

using Byte = unsigned char;

// Past these the libxml2 back-end's markup scan may refuse a book that pugixml
// would read; half its bounds, so the fast path never takes one it refuses.
constexpr std::uint32_t kDepthBound = kMaxDepth / 2;
constexpr std::uint32_t kDeclarationBound = kMaxNamespacesInScope / 2;
// Attribute names kept per start tag to find a repeated one; more go to libxml2.
constexpr std::uint32_t kAttributeBound = 32;

bool IsBlank(Byte b) { return b == ' ' || b == '\t' || b == '\n' || b == '\r'; }
bool IsNameStart(Byte b) { return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || b == '_'; }
bool IsNameByte(Byte b) { return IsNameStart(b) || (b >= '0' && b <= '9') || b == '-' || b == '.'; }
bool IsContinuation(Byte b) { return (b & 0xC0) == 0x80; }

// The length of the UTF-8 character at p, 0 when it is malformed (overlong, a
// surrogate, past U+10FFFF, cut off) or U+FFFE/U+FFFF, which XML does not allow.
std::size_t SequenceLength(const Byte* p, const Byte* end) {
  const Byte b = *p;
  const std::size_t left = std::size_t(end - p);
  if (b >= 0xC2 && b <= 0xDF) return left >= 2 && IsContinuation(p[1]) ? 2 : 0;
  if (b >= 0xE0 && b <= 0xEF) {
    if (left < 3 || !IsContinuation(p[1]) || !IsContinuation(p[2])) return 0;
    if ((b == 0xE0 && p[1] < 0xA0) || (b == 0xED && p[1] >= 0xA0)) return 0;
    if (b == 0xEF && p[1] == 0xBF && p[2] >= 0xBE) return 0;
    return 3;
  }
  if (b >= 0xF0 && b <= 0xF4) {
    if (left < 4 || !IsContinuation(p[1]) || !IsContinuation(p[2]) || !IsContinuation(p[3])) return 0;
    if ((b == 0xF0 && p[1] < 0x90) || (b == 0xF4 && p[1] >= 0x90)) return 0;
    return 4;
  }
  return 0;
}

bool IsXmlChar(std::uint32_t c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// The first byte from p that is A, B or C, a control byte, or not ASCII; end
// when none is. Tab, LF and CR may or may not stop it.
template <Byte A, Byte B, Byte C>
const Byte* Skip(const Byte* p, const Byte* end) {
#if defined(__SSE2__)
  const __m128i a = _mm_set1_epi8(char(A)), b = _mm_set1_epi8(char(B)), c = _mm_set1_epi8(char(C));
  const __m128i space = _mm_set1_epi8(0x20), tab = _mm_set1_epi8('\t'), lf = _mm_set1_epi8('\n'),
                cr = _mm_set1_epi8('\r');
  while (end - p >= 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // signed: bytes from 0x80 up count as below the space too; line ends do not stop it
    const __m128i blank = _mm_or_si128(_mm_cmpeq_epi8(v, tab), _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    const __m128i low = _mm_andnot_si128(blank, _mm_cmplt_epi8(v, space));
    const __m128i hit = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, a), _mm_cmpeq_epi8(v, b)),
                                     _mm_or_si128(_mm_cmpeq_epi8(v, c), low));
    const int mask = _mm_movemask_epi8(hit);
    if (mask) return p + __builtin_ctz(unsigned(mask));
    p += 16;
  }
#else
  constexpr std::uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
  auto zeroIn = [](std::uint64_t w) { return (w - kOnes) & ~w & kHigh; };
  while (end - p >= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    const std::uint64_t hit = (w & kHigh) | ((w - kOnes * 0x20) & ~w & kHigh) | zeroIn(w ^ (kOnes * A)) |
                              zeroIn(w ^ (kOnes * B)) | zeroIn(w ^ (kOnes * C));
    if (hit) break;
    p += 8;
  }
#endif
  while (p < end && *p != A && *p != B && *p != C && *p >= 0x20 && *p < 0x80) ++p;
  return p;
}

#if defined(__SSE2__)
// The bits of v's bytes that lie in [low, low + span] (unsigned).
int InRange(__m128i v, Byte low, Byte span) {
  const __m128i shifted = _mm_sub_epi8(v, _mm_set1_epi8(char(low)));
  return _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(shifted, _mm_set1_epi8(char(span))), shifted));
}

// Sixteen bytes of element content that need nothing from the scan but the check
// that their two-byte characters are whole (Cyrillic, say): none that content
// stops at, no other non-ASCII byte, and no character cut at the block's end.
bool PlainTwoByteBlock(const Byte* p) {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const int high = _mm_movemask_epi8(v);
  const int lead = InRange(v, 0xC2, 0xDF - 0xC2);
  const int continuation = InRange(v, 0x80, 0xBF - 0x80);
  const int controls = InRange(v, 0x00, 0x1F) & ~(InRange(v, '\t', 1) | InRange(v, '\r', 0));
  const int stops = controls | InRange(v, '<', 0) | InRange(v, '&', 0) | InRange(v, ']', 0);
  return stops == 0 && (lead | continuation) == high && continuation == ((lead << 1) & 0xFFFF) &&
         (lead & 0x8000) == 0;
}
#endif

// Bytes of element content by what the scan does with them.
enum : Byte { kPass, kStop, kPair, kOther };
constexpr std::array<Byte, 256> ContentKinds() {
  std::array<Byte, 256> k{};
  for (int b = 0; b < 0x20; ++b) k[b] = kStop;
  k['\t'] = k['\n'] = k['\r'] = kPass;
  k['<'] = k['&'] = k[']'] = kStop;
  for (int b = 0x80; b < 0x100; ++b) k[b] = kOther;
  for (int b = 0xC2; b <= 0xDF; ++b) k[b] = kPair;
  return k;
}
constexpr std::array<Byte, 256> kContentKinds = ContentKinds();

class Scanner {
 public:
  Scanner(std::string_view text, std::size_t from)
      : begin_(reinterpret_cast<const Byte*>(text.data())), p_(begin_ + from), end_(begin_ + text.size()) {}
  const char* Run();

 private:
  bool Fail(const char* why) {
    reason_ = why;
    return false;
  }
  bool Left(std::size_t n) const { return std::size_t(end_ - p_) >= n; }
  bool Chars();
  bool MixedText();
  bool Reference();
  bool Outside();
  bool Content();
  bool Markup();
  // An attribute of the start tag being read.
  struct Attr {
    std::string_view name;
    std::string_view value;  // as written, between the quotes
  };
  bool StartTag();
  bool Attribute(Attr attrs[], std::uint32_t& count);
  bool Element(std::string_view name, const Attr attrs[], std::uint32_t count, bool empty);
  bool Namespaces(std::string_view name, const Attr attrs[], std::uint32_t count);
  bool InScope(std::string_view qname, bool attribute) const;
  bool Value(Byte quote);
  bool EndTag();
  bool Name(std::size_t& length);
  bool Bang();
  bool Comment();
  bool CData();
  bool Pi();
  void SkipBlanks() {
    while (p_ < end_ && IsBlank(*p_)) ++p_;
  }

  const Byte* begin_;
  const Byte* p_;
  const Byte* end_;
  const char* reason_ = nullptr;
  std::uint32_t Depth() const { return std::uint32_t(open_.size()); }

  std::vector<std::string_view> open_;  // names of the open elements
  // prefixes declared on open elements, with the depth of the element
  std::vector<std::pair<std::uint32_t, std::string_view>> prefixes_;
  bool rootDone_ = false;
  std::uint32_t declarations_ = 0;  // namespace declarations so far, a bound on those in scope
  std::uint64_t work_ = 0;          // as the libxml2 back-end's markup scan counts it
};

const char* Scanner::Run() {
  while (p_ < end_) {
    if (!(Depth() == 0 ? Outside() : Content())) return reason_;
    if (p_ < end_ && !Markup()) return reason_;
  }
  if (Depth() > 0) return "the text ends inside an element";
  if (!rootDone_) return "no root element";
  return nullptr;
}

// At a control byte or the start of a non-ASCII character: passes it and the
// non-ASCII characters right after it (a word of Cyrillic, say).
bool Scanner::Chars() {
  if (*p_ < 0x80) {
    if (*p_ != '\t' && *p_ != '\n' && *p_ != '\r') return Fail("a control character");
    ++p_;
    return true;
  }
  do {
    const std::size_t n = SequenceLength(p_, end_);
    if (n == 0) return Fail("bytes that are not UTF-8, or U+FFFE or U+FFFF");
    p_ += n;
  } while (p_ < end_ && *p_ >= 0x80);
  return true;
}

// Text with non-ASCII characters (Cyrillic, say) a byte at a time, two-byte
// characters on their own quick path, up to a byte content stops at or a run of ASCII.
bool Scanner::MixedText() {
  int ascii = 0;  // bytes in a row: after a few, plain ASCII goes faster a block at a time
  while (p_ < end_) {
#if defined(__SSE2__)
    if (end_ - p_ >= 16 && PlainTwoByteBlock(p_)) {
      p_ += 16;
      ascii = 0;
      continue;
    }
#endif
    const Byte kind = kContentKinds[*p_];
    if (kind == kPass) {
      ++p_;
      if (++ascii == 8) return true;
      continue;
    }
    ascii = 0;
    if (kind == kPair && end_ - p_ >= 2 && IsContinuation(p_[1])) {
      p_ += 2;
    } else if (kind == kOther) {
      const std::size_t n = SequenceLength(p_, end_);
      if (n == 0) return Fail("bytes that are not UTF-8, or U+FFFE or U+FFFF");
      p_ += n;
    } else {
      return kind == kStop || Fail("bytes that are not UTF-8, or U+FFFE or U+FFFF");
    }
  }
  return true;
}

// At '&': one of the five predefined entities or a character reference to a character XML allows.
bool Scanner::Reference() {
  static constexpr std::string_view kEntities[] = {"amp;", "lt;", "gt;", "quot;", "apos;"};
  const Byte* q = p_ + 1;
  const std::string_view rest(reinterpret_cast<const char*>(q), std::size_t(end_ - q));
  for (std::string_view e : kEntities)
    if (rest.substr(0, e.size()) == e) {
      p_ = q + e.size();
      return true;
    }
  if (q == end_ || *q != '#') return Fail("a reference to an entity other than the five predefined ones");
  const bool hex = ++q < end_ && *q == 'x';
  q += hex;
  const Byte* digits = q;
  std::uint32_t value = 0;
  for (; q < end_; ++q) {
    std::uint32_t d;
    if (*q >= '0' && *q <= '9')
      d = *q - '0';
    else if (hex && ((*q | 0x20) >= 'a' && (*q | 0x20) <= 'f'))
      d = (*q | 0x20) - 'a' + 10;
    else
      break;
    value = value * (hex ? 16 : 10) + d;
    if (value > 0x110000) value = 0x110000;  // stays out of range, without overflow
  }
  if (q == digits || q == end_ || *q != ';' || !IsXmlChar(value))
    return Fail("a malformed character reference, or one to a character XML does not allow");
  p_ = q + 1;
  return true;
}

// Before and after the root element: blanks only, up to the next markup.
bool Scanner::Outside() {
  for (; p_ < end_ && *p_ != '<'; ++p_)
    if (!IsBlank(*p_)) return Fail(rootDone_ ? "text after the root element" : "text before the root element");
  return true;
}

// Element content, up to the next markup.
bool Scanner::Content() {
  for (;;) {
    p_ = Skip<'<', '&', ']'>(p_, end_);
    if (p_ == end_ || *p_ == '<') return true;
    if (*p_ == '&') {
      if (!Reference()) return false;
    } else if (*p_ == ']') {
      if (Left(3) && p_[1] == ']' && p_[2] == '>') return Fail("\"]]>\" outside a CDATA section");
      ++p_;
    } else if (!(*p_ >= 0x80 ? MixedText() : Chars())) {
      return false;
    }
  }
}

bool Scanner::Markup() {
  if (!Left(2)) return Fail("the text ends inside markup");
  switch (p_[1]) {
    case '/':
      return EndTag();
    case '!':
      return Bang();
    case '?':
      return Pi();
    default:
      if (!IsNameStart(p_[1])) return Fail("a tag whose name is not a plain ASCII one");
      return StartTag();
  }
}

// An ASCII name with at most one colon, inside it (libxml2 checks qualified names).
bool Scanner::Name(std::size_t& length) {
  const Byte* start = p_;
  if (p_ == end_ || !IsNameStart(*p_)) return Fail("a name that is not a plain ASCII one");
  bool colon = false;
  for (++p_; p_ < end_ && (IsNameByte(*p_) || *p_ == ':'); ++p_) {
    if (*p_ != ':') continue;
    if (colon || p_ + 1 == end_ || !IsNameStart(p_[1])) return Fail("a name that is not a well-formed qualified name");
    colon = true;
  }
  length = std::size_t(p_ - start);
  return true;
}

bool Scanner::StartTag() {
  const Byte* name = ++p_;
  std::size_t length;
  if (!Name(length)) return false;
  Attr attrs[kAttributeBound];
  std::uint32_t count = 0;
  for (;;) {
    const Byte* before = p_;
    SkipBlanks();
    if (p_ == end_) return Fail("the text ends inside a tag");
    if (*p_ == '>' || *p_ == '/') break;
    if (p_ == before) return Fail("an attribute without a blank before it");
    if (!Attribute(attrs, count)) return false;
  }
  const bool empty = *p_ == '/';
  if (empty && !(Left(2) && p_[1] == '>')) return Fail("'/' inside a tag");
  p_ += empty ? 2 : 1;
  return Element(std::string_view(reinterpret_cast<const char*>(name), length), attrs, count, empty);
}

// A start tag read: its place among the others, its namespaces, what libxml2's walks over it cost.
bool Scanner::Element(std::string_view name, const Attr attrs[], std::uint32_t count, bool empty) {
  if (Depth() == 0 && rootDone_) return Fail("a second root element");
  if (!Namespaces(name, attrs, count)) return false;
  // Counted high: every declaration so far is taken as in scope.
  std::uint32_t declared = 0;
  for (std::uint32_t i = 0; i < count; ++i)
    declared += attrs[i].name == "xmlns" || attrs[i].name.substr(0, 6) == "xmlns:";
  declarations_ += declared;
  const std::uint64_t walk = std::uint64_t(Depth()) + 1 + declarations_;
  work_ += std::uint64_t(count) * count + (count + 1) * walk;
  if (work_ > kMarkupWorkAllowance / 2 + std::uint64_t(p_ - begin_) * 2 || declarations_ > kDeclarationBound)
    return Fail("many attributes, namespace declarations or levels for the size of the text");
  if (empty) {
    while (!prefixes_.empty() && prefixes_.back().first > Depth()) prefixes_.pop_back();
    rootDone_ = rootDone_ || Depth() == 0;
    return true;
  }
  open_.push_back(name);
  if (Depth() > kDepthBound) return Fail("elements nested very deeply");
  return true;
}

// libxml2 refuses an undeclared prefix, a prefix bound to "", the reserved
// prefixes declared, and two attributes of one name in one namespace (counted
// here whenever two prefixed ones share a local name).
bool Scanner::Namespaces(std::string_view name, const Attr attrs[], std::uint32_t count) {
  for (std::uint32_t i = 0; i < count; ++i) {
    if (attrs[i].name.substr(0, 6) != "xmlns:") continue;
    const std::string_view prefix = attrs[i].name.substr(6);
    if (prefix == "xml" || prefix == "xmlns" || attrs[i].value.empty())
      return Fail("a namespace prefix declared in a way libxml2 refuses");
    prefixes_.emplace_back(Depth() + 1, prefix);
  }
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string_view v = attrs[i].value;
    if ((attrs[i].name == "xmlns" || attrs[i].name.substr(0, 6) == "xmlns:") &&
        (v.find('&') != std::string_view::npos || v == "http://www.w3.org/XML/1998/namespace" ||
         v == "http://www.w3.org/2000/xmlns/"))
      return Fail("a namespace name libxml2 refuses, or one written with references");
  }
  if (!InScope(name, false)) return Fail("an undeclared namespace prefix");
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::string_view a = attrs[i].name;
    const std::size_t colon = a.find(':');
    if (a == "xmlns" || a.substr(0, 6) == "xmlns:" || colon == std::string_view::npos) continue;
    if (!InScope(a, true)) return Fail("an undeclared namespace prefix");
    for (std::uint32_t j = 0; j < i; ++j) {
      const std::size_t other = attrs[j].name.find(':');
      if (other != std::string_view::npos && attrs[j].name.substr(0, 6) != "xmlns:" &&
          attrs[j].name.substr(other) == a.substr(colon))
        return Fail("two attributes that may share a name and a namespace");
    }
  }
  return true;
}

bool Scanner::InScope(std::string_view qname, bool attribute) const {
  const std::size_t colon = qname.find(':');
  if (colon == std::string_view::npos) return true;
  const std::string_view prefix = qname.substr(0, colon);
  if (prefix == "xml") return attribute;
  for (auto it = prefixes_.rbegin(); it != prefixes_.rend(); ++it)
    if (it->second == prefix) return true;
  return false;
}

// One attribute of a start tag: its name, not given before on the element, and its quoted value.
bool Scanner::Attribute(Attr attrs[], std::uint32_t& count) {
  const Byte* start = p_;
  std::size_t length;
  if (!Name(length)) return false;
  if (count == kAttributeBound) return Fail("an element with very many attributes");
  const std::string_view name(reinterpret_cast<const char*>(start), length);
  for (std::uint32_t i = 0; i < count; ++i)
    if (attrs[i].name == name) return Fail("an attribute given twice");
  SkipBlanks();
  if (p_ == end_ || *p_ != '=') return Fail("an attribute without a value");
  ++p_;
  SkipBlanks();
  if (p_ == end_ || (*p_ != '"' && *p_ != '\'')) return Fail("an attribute value without quotes");
  const Byte* value = p_ + 1;
  if (!Value(*p_)) return false;
  attrs[count++] = Attr{name, std::string_view(reinterpret_cast<const char*>(value), std::size_t(p_ - 1 - value))};
  return true;
}

// A quoted value from its opening quote: libxml2 refuses '<' in it.
bool Scanner::Value(Byte quote) {
  ++p_;
  for (;;) {
    p_ = quote == '"' ? Skip<'"', '<', '&'>(p_, end_) : Skip<'\'', '<', '&'>(p_, end_);
    if (p_ == end_) return Fail("the text ends inside an attribute value");
    if (*p_ == quote) {
      ++p_;
      return true;
    }
    if (*p_ == '<') return Fail("'<' inside an attribute value");
    if (!(*p_ == '&' ? Reference() : Chars())) return false;
  }
}

bool Scanner::EndTag() {
  const Byte* name = p_ += 2;
  std::size_t length;
  if (!Name(length)) return false;
  SkipBlanks();
  if (p_ == end_ || *p_ != '>') return Fail("an end tag with more than a name");
  ++p_;
  if (Depth() == 0) return Fail("an end tag without a start tag");
  if (open_.back() != std::string_view(reinterpret_cast<const char*>(name), length))
    return Fail("an end tag that does not match its start tag");
  open_.pop_back();
  while (!prefixes_.empty() && prefixes_.back().first > Depth()) prefixes_.pop_back();
  rootDone_ = Depth() == 0;
  return true;
}

// "<!": only comments, and CDATA sections inside the root element.
bool Scanner::Bang() {
  const std::string_view rest(reinterpret_cast<const char*>(p_), std::size_t(end_ - p_));
  if (rest.substr(0, 4) == "<!--") return Comment();
  if (rest.substr(0, 9) == "<![CDATA[") {
    if (Depth() == 0) return Fail("a CDATA section outside the root element");
    return CData();
  }
  if (rest.substr(0, 3) == "<!D") return Fail("a document type declaration");
  return Fail("markup declaration other than a comment or a CDATA section");
}

// libxml2 refuses "--" inside a comment; pugixml would take it.
bool Scanner::Comment() {
  p_ += 4;
  for (;;) {
    p_ = Skip<'-', '-', '-'>(p_, end_);
    if (p_ == end_) return Fail("an unterminated comment");
    if (*p_ != '-') {
      if (!Chars()) return false;
    } else if (Left(2) && p_[1] == '-') {
      if (!(Left(3) && p_[2] == '>')) return Fail("\"--\" inside a comment");
      p_ += 3;
      return true;
    } else {
      ++p_;
    }
  }
}

bool Scanner::CData() {
  p_ += 9;
  for (;;) {
    p_ = Skip<']', ']', ']'>(p_, end_);
    if (p_ == end_) return Fail("an unterminated CDATA section");
    if (*p_ != ']') {
      if (!Chars()) return false;
    } else if (Left(3) && p_[1] == ']' && p_[2] == '>') {
      p_ += 3;
      // libxml2 joins CDATA sections that follow each other into one
      if (Left(9) && std::memcmp(p_, "<![CDATA[", 9) == 0) return Fail("CDATA sections side by side");
      return true;
    } else {
      ++p_;
    }
  }
}

// A processing instruction: an ASCII target, then anything up to "?>". A target
// starting with xml in any case is a declaration out of place, or one libxml2
// refuses or warns about, save the two it knows (a style sheet, a schema).
bool Scanner::Pi() {
  p_ += 2;
  const Byte* target = p_;
  if (p_ == end_ || !IsNameStart(*p_)) return Fail("a processing instruction without a plain ASCII target");
  while (p_ < end_ && IsNameByte(*p_)) ++p_;
  if (p_ == end_ || !(IsBlank(*p_) || (*p_ == '?' && Left(2) && p_[1] == '>')))
    return Fail("a processing instruction without a plain ASCII target");
  const std::string_view name(reinterpret_cast<const char*>(target), std::size_t(p_ - target));
  if (name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' && (name[2] | 0x20) == 'l' &&
      name != "xml-stylesheet" && name != "xml-model")
    return Fail("\"<?xml\" other than as the declaration at the start");
  for (;;) {
    p_ = Skip<'?', '\r', '?'>(p_, end_);
    if (p_ == end_) return Fail("an unterminated processing instruction");
    // libxml2 turns line ends into LF everywhere, pugixml not inside instructions
    if (*p_ == '\r') return Fail("a carriage return inside a processing instruction");
    if (*p_ != '?') {
      if (!Chars()) return false;
    } else if (Left(2) && p_[1] == '>') {
      p_ += 2;
      return true;
    } else {
      ++p_;
    }
  }
}

// Reads the pseudo-attribute name = "value" at text[i] (after the blanks before it).
bool PseudoAttribute(std::string_view text, std::size_t& i, std::string_view name, std::string_view& value) {
  if (text.substr(i, name.size()) != name) return false;
  i += name.size();
  while (i < text.size() && IsBlank(Byte(text[i]))) ++i;
  if (i == text.size() || text[i] != '=') return false;
  ++i;
  while (i < text.size() && IsBlank(Byte(text[i]))) ++i;
  if (i == text.size() || (text[i] != '"' && text[i] != '\'')) return false;
  const std::size_t close = text.find(text[i], i + 1);
  if (close == std::string_view::npos) return false;
  value = text.substr(i + 1, close - i - 1);
  i = close + 1;
  return true;
}

bool IsEncodingName(std::string_view name) {
  if (name.empty() || !(IsNameStart(Byte(name[0])) && name[0] != '_')) return false;
  for (char c : name)
    if (!IsNameByte(Byte(c))) return false;
  return true;
}

}  // namespace

PugiDeclaration CheckPugiDeclaration(std::string_view text) {
  PugiDeclaration d;
  if (text.size() < 6 || text.substr(0, 5) != "<?xml" || !IsBlank(Byte(text[5]))) return d;
  d.present = true;
  d.handOver = "a declaration libxml2 would refuse or warn about";
  std::size_t i = 5;
  auto blanks = [&] {
    const std::size_t from = i;
    while (i < text.size() && IsBlank(Byte(text[i]))) ++i;
    return i > from;
  };
  std::string_view value;
  blanks();
  if (!PseudoAttribute(text, i, "version", value) || value != "1.0") return d;
  bool blank = blanks();
  if (blank && text.substr(i, 8) == "encoding") {
    if (!PseudoAttribute(text, i, "encoding", d.encoding) || !IsEncodingName(d.encoding)) return d;
    blank = blanks();
  }
  if (blank && text.substr(i, 10) == "standalone") {
    if (!PseudoAttribute(text, i, "standalone", value) || (value != "yes" && value != "no")) return d;
    blanks();
  }
  if (text.substr(i, 2) != "?>") return d;
  d.end = i + 2;
  d.handOver = nullptr;
  return d;
}

const char* ScanForHandOver(std::string_view text, std::size_t from) { return Scanner(text, from).Run(); }

}  // namespace velarin::xml
