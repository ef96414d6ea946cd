// The pugixml back-end's serialiser: the bytes libxml2's xmlSaveTree writes for
// the same tree (escaping, namespace declarations first, character references for
// what the encoding lacks), so a book saves the same whichever back-end read it.
#include "xml/pugisave.h"

#include <errno.h>
#include <iconv.h>
#include <libxml/encoding.h>
#include <libxml/tree.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "xml/xmldom.h"

namespace velarin::xml {
namespace {

using Sink = std::function<void(const char* data, std::size_t size)>;

// Output goes to the sink in pieces of about this size.
constexpr std::size_t kPiece = 64 * 1024;

[[noreturn]] void Unsaved() { throw DOMException("The document could not be saved"); }

// One UTF-8 character at s (size bytes available): its code point and length,
// or length 0 for a malformed or cut sequence.
unsigned DecodeUtf8(const unsigned char* s, std::size_t size, std::size_t& length) {
  length = 0;
  if (size == 0) return 0;
  const unsigned lead = s[0];
  std::size_t n = lead < 0x80 ? 1 : lead < 0xC2 ? 0 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : lead < 0xF5 ? 4 : 0;
  if (n == 0 || n > size) return 0;
  unsigned c = n == 1 ? lead : lead & (0x7F >> n);
  for (std::size_t i = 1; i < n; ++i) {
    if ((s[i] & 0xC0) != 0x80) return 0;
    c = c << 6 | (s[i] & 0x3F);
  }
  static const unsigned kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kLeast[n] || c > 0x10FFFF || (c >= 0xD800 && c < 0xE000)) return 0;
  length = n;
  return c;
}

// Turns the UTF-8 the writer makes into the bytes of the output encoding and
// hands them to the sink.
class Converter {
 public:
  virtual ~Converter() = default;
  // Converts data; answers how many bytes at its end wait for the rest of
  // their character (none when last).
  virtual std::size_t Convert(const char* data, std::size_t size, bool last) = 0;
};

// UTF-8 is what the tree holds: a plain copy.
class CopyConverter : public Converter {
 public:
  explicit CopyConverter(const Sink& sink) : sink_(sink) {}
  std::size_t Convert(const char* data, std::size_t size, bool) override {
    if (size) sink_(data, size);
    return 0;
  }

 private:
  const Sink& sink_;
};

// iconv, as libxml2 uses it; a character the encoding lacks becomes "&#N;"
// (decimal, as libxml2 writes it), itself converted, and the work goes on.
class IconvConverter : public Converter {
 public:
  IconvConverter(iconv_t cd, const Sink& sink, const char* prefix, std::size_t prefixSize)
      : cd_(cd), sink_(sink), out_(kPiece, '\0') {
    std::memcpy(out_.data(), prefix, prefixSize);
    used_ = prefixSize;
  }
  ~IconvConverter() override { iconv_close(cd_); }
  IconvConverter(const IconvConverter&) = delete;
  IconvConverter& operator=(const IconvConverter&) = delete;

  std::size_t Convert(const char* data, std::size_t size, bool last) override {
    char* in = const_cast<char*>(data);
    std::size_t left = size;
    while (left > 0) {
      if (Run(in, left)) continue;
      if (errno == E2BIG) {
        Send();
      } else if (errno == EINVAL && !last) {
        break;  // a character cut at the end of the piece: it comes again with the rest
      } else {
        Unrepresentable(in, left);
      }
    }
    if (last) {
      // back to the initial shift state, for the encodings that have one
      char* none = nullptr;
      while (!Run(none, left)) {
        if (errno != E2BIG) Unsaved();
        Send();
      }
      Send();
    }
    return left;
  }

 private:
  // One iconv call into the free part of the output; false with errno set when it stopped early.
  bool Run(char*& in, std::size_t& left) {
    char* out = out_.data() + used_;
    std::size_t room = out_.size() - used_;
    const std::size_t r = iconv(cd_, in ? &in : nullptr, in ? &left : nullptr, &out, &room);
    used_ = out_.size() - room;
    return r != std::size_t(-1);
  }
  void Send() {
    if (used_) sink_(out_.data(), used_);
    used_ = 0;
  }
  void Unrepresentable(char*& in, std::size_t& left) {
    std::size_t length = 0;
    const unsigned c = DecodeUtf8(reinterpret_cast<const unsigned char*>(in), left, length);
    if (length == 0) Unsaved();  // not UTF-8: libxml2 gives up on it too
    char ref[16];
    const int n = std::snprintf(ref, sizeof ref, "&#%u;", c);
    char* r = ref;
    std::size_t refLeft = std::size_t(n);
    while (refLeft > 0 && !Run(r, refLeft)) {
      if (errno != E2BIG) Unsaved();
      Send();
    }
    in += length;
    left -= length;
  }

  iconv_t cd_;
  const Sink& sink_;
  std::string out_;
  std::size_t used_ = 0;
};

// Encodings libxml2 converts by other means than iconv (its HTML entities,
// ICU): its own converter, which writes its own references.
struct HandlerClose {
  void operator()(xmlCharEncodingHandlerPtr h) const { xmlCharEncCloseFunc(h); }
};
using Handler = std::unique_ptr<xmlCharEncodingHandler, HandlerClose>;

class LibxmlConverter : public Converter {
 public:
  LibxmlConverter(Handler handler, const Sink& sink)
      : handler_(std::move(handler)), sink_(sink), in_(xmlBufferCreate()), out_(xmlBufferCreate()) {
    if (!in_ || !out_) Unsaved();
    xmlCharEncOutFunc(handler_.get(), out_.get(), nullptr);  // the encoding's opening bytes, if any
  }

  std::size_t Convert(const char* data, std::size_t size, bool last) override {
    if (xmlBufferAdd(in_.get(), reinterpret_cast<const xmlChar*>(data), int(size)) != 0) Unsaved();
    while (xmlBufferLength(in_.get()) > 0) {
      const int before = xmlBufferLength(in_.get());
      const int r = xmlCharEncOutFunc(handler_.get(), out_.get(), in_.get());
      Send();
      if (xmlBufferLength(in_.get()) == before) {
        if (last || r == -2 || before >= 8) Unsaved();
        break;  // a cut character: kept here until the rest comes
      }
    }
    Send();
    return 0;
  }

 private:
  struct BufferFree {
    void operator()(xmlBufferPtr b) const { xmlBufferFree(b); }
  };
  void Send() {
    const int n = xmlBufferLength(out_.get());
    if (n > 0) sink_(reinterpret_cast<const char*>(xmlBufferContent(out_.get())), std::size_t(n));
    xmlBufferEmpty(out_.get());
  }

  Handler handler_;
  const Sink& sink_;
  std::unique_ptr<xmlBuffer, BufferFree> in_, out_;
};

std::string Upper(const char* s) {
  std::string u = s ? s : "";
  for (char& c : u)
    if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
  return u;
}

iconv_t OpenIconv(const std::string& name) {
  iconv_t cd = iconv_open(name.c_str(), "UTF-8");
  if (cd == iconv_t(-1)) cd = iconv_open(Upper(name.c_str()).c_str(), "UTF-8");
  return cd;
}

// The converter for an encoding name, found the way libxml2 finds it: its own
// names first, then iconv, then ICU and its canonical names.
std::unique_ptr<Converter> ConverterFor(const std::string& encoding, const Sink& sink) {
  Handler handler(xmlFindCharEncodingHandler(encoding.c_str()));
  if (!handler) throw DOMException(Format("Cannot save in the encoding \"%s\"", encoding.c_str()));
  const std::string name = Upper(handler->name);
  const bool builtIn = handler->output != nullptr;
  if ((!builtIn && !handler->iconv_out) || (builtIn && name == "HTML"))
    return std::make_unique<LibxmlConverter>(std::move(handler), sink);
  // Named by libxml2 itself or known to iconv: iconv from here on.
  const std::string iconvName = builtIn ? name : handler->name;
  handler.reset();
  if (builtIn && name == "UTF-8") return std::make_unique<CopyConverter>(sink);
  // libxml2's own UTF-16 is little-endian after a byte order mark.
  const bool utf16 = builtIn && name == "UTF-16";
  iconv_t cd = OpenIconv(utf16 ? "UTF-16LE" : iconvName);
  if (cd == iconv_t(-1)) throw DOMException(Format("Cannot save in the encoding \"%s\"", encoding.c_str()));
  return std::make_unique<IconvConverter>(cd, sink, "\xFF\xFE", utf16 ? 2 : 0);
}

// Writes nodes as libxml2's xmlSaveTree does (no formatting, empty elements as
// "<a/>"), collecting UTF-8 in one piece-sized buffer for the converter.
class TreeWriter {
 public:
  TreeWriter(const pugi::xml_node& skip, bool hexAttributes, Converter& converter)
      : skip_(skip), hexAttributes_(hexAttributes), converter_(converter), buffer_(new char[kPiece]) {}
  void Node(const pugi::xml_node& top);
  void Put(const char* s, std::size_t n) {
    if (n <= kPiece - used_) {  // the usual case: it fits in the piece
      std::memcpy(buffer_.get() + used_, s, n);
      used_ += n;
      return;
    }
    while (n > 0) {
      const std::size_t take = std::min(n, kPiece - used_);
      std::memcpy(buffer_.get() + used_, s, take);
      used_ += take;
      s += take;
      n -= take;
      if (used_ == kPiece) Flush(false);
    }
  }
  void Put(const char* s) { Put(s, std::strlen(s)); }
  void Flush(bool last) {
    const std::size_t kept = converter_.Convert(buffer_.get(), used_, last);
    // what waits is at most one cut character
    if (kept > 4 || (last && kept)) Unsaved();
    std::memmove(buffer_.get(), buffer_.get() + used_ - kept, kept);
    used_ = kept;
  }

 private:
  bool Open(const pugi::xml_node& n);
  void StartTag(const pugi::xml_node& n);
  void Escaped(const char* s, const char* specials);
  void AttributeValue(const char* s);
  void Quoted(const char* s);
  void CData(const char* s);

  pugi::xml_node skip_;
  bool hexAttributes_;
  Converter& converter_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
};

// Text: libxml2 escapes "<", ">", "&" and CR, nothing else.
void TreeWriter::Escaped(const char* s, const char* specials) {
  for (;;) {
    const std::size_t run = std::strcspn(s, specials);
    Put(s, run);
    s += run;
    switch (*s) {
      case 0: return;
      case '<': Put("&lt;", 4); break;
      case '>': Put("&gt;", 4); break;
      case '&': Put("&amp;", 5); break;
      case '"': Put("&quot;", 6); break;
      case '\r': Put("&#13;", 5); break;
      case '\n': Put("&#10;", 5); break;
      case '\t': Put("&#9;", 4); break;
    }
    ++s;
  }
}

bool IsXmlChar(unsigned c) {
  return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
         (c >= 0x10000 && c <= 0x10FFFF);
}

// An attribute value. Where libxml2 did not know the document's encoding it
// writes every non-ASCII character as "&#xHEX;", decoding as loosely as it does.
void TreeWriter::AttributeValue(const char* s) {
  static const char kSpecials[] = "<>&\"\r\n\t";
  if (!hexAttributes_) return Escaped(s, kSpecials);
  const auto* u = reinterpret_cast<const unsigned char*>(s);
  while (*u) {
    if (*u < 0x80 || u[1] == 0) {  // a lone byte at the very end is copied as it is
      const char one[2] = {char(*u), 0};
      Escaped(one, kSpecials);
      ++u;
      continue;
    }
    unsigned c = *u;
    std::size_t l = 1;
    if (c >= 0xC0 && c < 0xE0) {
      c = (u[0] & 0x1Fu) << 6 | (u[1] & 0x3Fu), l = 2;
    } else if (c >= 0xE0 && c < 0xF0 && u[2]) {
      c = (u[0] & 0x0Fu) << 12 | (u[1] & 0x3Fu) << 6 | (u[2] & 0x3Fu), l = 3;
    } else if (c >= 0xF0 && c < 0xF8 && u[2] && u[3]) {
      c = (u[0] & 0x07u) << 18 | (u[1] & 0x3Fu) << 12 | (u[2] & 0x3Fu) << 6 | (u[3] & 0x3Fu), l = 4;
    }
    if (l == 1 || !IsXmlChar(c)) c = *u, l = 1;
    char ref[16];
    Put(ref, std::size_t(std::snprintf(ref, sizeof ref, "&#x%X;", c)));
    u += l;
  }
}

// A namespace name, written unescaped between whichever quotes it lacks;
// holding both, between double quotes with "&quot;".
void TreeWriter::Quoted(const char* s) {
  if (!std::strchr(s, '"')) {
    Put("\"", 1), Put(s), Put("\"", 1);
  } else if (!std::strchr(s, '\'')) {
    Put("'", 1), Put(s), Put("'", 1);
  } else {
    Put("\"", 1);
    for (const char* q; (q = std::strchr(s, '"')); s = q + 1) Put(s, std::size_t(q - s)), Put("&quot;", 6);
    Put(s), Put("\"", 1);
  }
}

// CDATA holding "]]>" is split after its "]]", as libxml2 splits it.
void TreeWriter::CData(const char* s) {
  if (!*s) return Put("<![CDATA[]]>", 12);
  for (const char* end; (end = std::strstr(s, "]]>")); s = end + 2) {
    Put("<![CDATA[", 9), Put(s, std::size_t(end + 2 - s)), Put("]]>", 3);
  }
  if (*s) Put("<![CDATA[", 9), Put(s), Put("]]>", 3);
}

bool IsNamespaceDeclaration(const char* name) {
  return std::strncmp(name, "xmlns", 5) == 0 && (name[5] == 0 || name[5] == ':');
}

// libxml2 keeps namespace declarations apart and writes them first; the one
// for the prefix "xml" it never keeps.
void TreeWriter::StartTag(const pugi::xml_node& n) {
  Put("<", 1), Put(n.name());
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
    if (!IsNamespaceDeclaration(a.name()) || std::strcmp(a.name(), "xmlns:xml") == 0) continue;
    Put(" ", 1), Put(a.name()), Put("=", 1);
    Quoted(a.value());
  }
  for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
    if (IsNamespaceDeclaration(a.name())) continue;
    Put(" ", 1), Put(a.name()), Put("=\"", 2);
    AttributeValue(a.value());
    Put("\"", 1);
  }
}

// Writes a node, or the start of an element; true when its children follow.
bool TreeWriter::Open(const pugi::xml_node& n) {
  if (n == skip_) return false;
  switch (n.type()) {
    case pugi::node_element:
      StartTag(n);
      if (!n.first_child()) {
        Put("/>", 2);
        return false;
      }
      Put(">", 1);
      return true;
    case pugi::node_pcdata:
      Escaped(n.value(), "<>&\r");
      return false;
    case pugi::node_cdata:
      CData(n.value());
      return false;
    case pugi::node_comment:
      Put("<!--", 4), Put(n.value()), Put("-->", 3);
      return false;
    case pugi::node_pi:
      // "<?a?>" has no value, "<?a ?>" an empty one: pugixml tells them apart
      // only by the shared empty string it answers for the first.
      Put("<?", 2), Put(n.name());
      if (n.value() != pugi::xml_node().value()) Put(" ", 1), Put(n.value());
      Put("?>", 2);
      return false;
    case pugi::node_declaration:
      Put("<?xml", 5);
      for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
        Put(" ", 1), Put(a.name()), Put("=\"", 2), Put(a.value()), Put("\"", 1);
      Put("?>", 2);
      return false;
    default:
      throw DOMException("This node type cannot be saved");
  }
}

// Depth first without recursion: books nest deeper than a stack allows.
void TreeWriter::Node(const pugi::xml_node& top) {
  pugi::xml_node n = top;
  for (;;) {
    if (Open(n)) {
      n = n.first_child();
      continue;
    }
    while (n != top && !n.next_sibling()) {
      n = n.parent();
      Put("</", 2), Put(n.name()), Put(">", 1);
    }
    if (n == top) return;
    n = n.next_sibling();
  }
}

}  // namespace

void SavePugiTree(const pugi::xml_node& document, const pugi::xml_node& skip, const PugiSaveOptions& options,
                  const Sink& sink) {
  std::unique_ptr<Converter> converter = ConverterFor(options.encoding.empty() ? "UTF-8" : options.encoding, sink);
  TreeWriter writer(skip, !options.sourceEncodingKnown, *converter);
  for (pugi::xml_node c = document.first_child(); c; c = c.next_sibling()) {
    if (c == skip) continue;
    writer.Node(c);
    writer.Put("\n", 1);
  }
  writer.Flush(true);
}

}  // namespace velarin::xml
