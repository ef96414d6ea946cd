// Where Wine's MSXML departs from Microsoft's: node identity by probing, the
// attributes from the start tag, the 8-bit encodings its parser and its save lack.
#include "xml/msxmlwine.h"

#include <map>

#include "platform/text.h"
#include "xml/xmldecl.h"

namespace velarin::xml::msxml::wine {
namespace {

// A probe mark no document holds; a new one each time.
std::u16string NewMark() {
  static unsigned counter = 0;
  std::u16string mark = u"velarin-probe-";
  for (unsigned v = ++counter; v; v /= 10) mark.push_back(char16_t(u'0' + v % 10));
  return mark;
}

bool IsMark(const VARIANT& v, const std::u16string& mark) {
  return V_VT(&v) == VT_BSTR && std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&v))) == mark;
}

bool SameKindAndName(IXMLDOMNode* a, IXMLDOMNode* b, DOMNodeType& kind) {
  DOMNodeType tb = NODE_INVALID;
  kind = NODE_INVALID;
  Check(a->get_nodeType(&kind));
  Check(b->get_nodeType(&tb));
  if (kind != tb) return false;
  Bstr na, nb;
  Check(a->get_nodeName(na.out()));
  Check(b->get_nodeName(nb.out()));
  return na.str() == nb.str();
}

// An attribute set on one element shows on the other.
bool ProbeElement(IXMLDOMNode* a, IXMLDOMNode* b, const Bstr& mark) {
  Com<IXMLDOMElement> ea, eb;
  Check(a->QueryInterface(kIID_IXMLDOMElement, reinterpret_cast<void**>(ea.out())));
  Check(b->QueryInterface(kIID_IXMLDOMElement, reinterpret_cast<void**>(eb.out())));
  Bstr name(u"velarin-probe");
  Variant value, seen;
  V_VT(&value.v) = VT_BSTR;
  V_BSTR(&value.v) = SysAllocString(mark.get());
  Check(ea->setAttribute(name.get(), value.v));
  HRESULT hr = eb->getAttribute(name.get(), &seen.v);
  ea->removeAttribute(name.get());
  return hr == S_OK && IsMark(seen.v, mark.str());
}

// A value put on one node shows on the other; the old value goes back.
bool ProbeValue(IXMLDOMNode* a, IXMLDOMNode* b, const Bstr& mark) {
  Variant old, probe, seen;
  Check(a->get_nodeValue(&old.v));
  V_VT(&probe.v) = VT_BSTR;
  V_BSTR(&probe.v) = SysAllocString(mark.get());
  Check(a->put_nodeValue(probe.v));
  HRESULT hr = b->get_nodeValue(&seen.v);
  a->put_nodeValue(old.v);
  return SUCCEEDED(hr) && IsMark(seen.v, mark.str());
}

// A comment appended to one document is the other's last child.
bool ProbeDocument(IXMLDOMNode* a, IXMLDOMNode* b, const Bstr& mark) {
  Com<IXMLDOMDocument> da;
  Check(a->QueryInterface(kIID_IXMLDOMDocument, reinterpret_cast<void**>(da.out())));
  Com<IXMLDOMComment> c;
  Check(da->createComment(mark.get(), c.out()));
  Com<IXMLDOMNode> added, last, removed;
  Check(a->appendChild(c.get(), added.out()));
  HRESULT hr = b->get_lastChild(last.out());
  Bstr seen;
  if (SUCCEEDED(hr) && last) last->get_text(seen.out());
  a->removeChild(added.get(), removed.out());
  return seen.str() == mark.str();
}

// The Windows code page of an encoding name, 0 when unknown.
UINT CodePageOf(const std::string& enc) {
  static const std::map<std::string, UINT> pages = {
      {"us-ascii", 20127}, {"ascii", 20127}, {"iso-8859-1", 28591}, {"latin1", 28591},
      {"iso-8859-2", 28592}, {"iso-8859-5", 28595}, {"iso-8859-7", 28597}, {"iso-8859-9", 28599},
      {"iso-8859-15", 28605}, {"koi8-r", 20866}, {"koi8-u", 21866}, {"ibm866", 866}, {"cp866", 866},
      {"windows-1250", 1250}, {"windows-1251", 1251}, {"windows-1252", 1252}, {"windows-1253", 1253},
      {"windows-1254", 1254}, {"windows-1255", 1255}, {"windows-1256", 1256}, {"windows-1257", 1257},
      {"windows-1258", 1258}, {"cp1251", 1251}, {"cp1252", 1252}, {"shift_jis", 932}, {"gb2312", 936},
      {"gbk", 936}, {"big5", 950}, {"euc-kr", 949}};
  auto it = pages.find(enc);
  return it == pages.end() ? 0 : it->second;
}

// The encoding an 8-bit document's declaration names, lower-cased; "" for none.
std::string EncodingInHead(const std::string& bytes) {
  std::string_view head = std::string_view(bytes).substr(0, 512);
  if (head.compare(0, 5, "<?xml") != 0) return "";
  const size_t end = head.find("?>");
  if (end == std::string_view::npos) return "";
  return platform::AsciiLower(DeclValue(head.substr(0, end), "encoding", DeclQuote::Same));
}

// The character (one unit, or a surrogate pair) in code page cp, or as a character reference.
void AppendInPage(std::string& out, UINT cp, const char16_t* c, size_t n) {
  char buf[8];
  BOOL usedDefault = FALSE;
  int k = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(c), int(n), buf,
                              sizeof buf, nullptr, &usedDefault);
  if (k > 0 && !usedDefault) {
    out.append(buf, size_t(k));
    return;
  }
  char32_t v = n == 2 ? 0x10000 + ((char32_t(c[0]) - 0xD800) << 10) + (char32_t(c[1]) - 0xDC00) : char32_t(c[0]);
  out += Format("&#%lu;", static_cast<unsigned long>(v));
}

std::string Utf16LittleEndian(const std::u16string& text) {
  std::string out = "\xFF\xFE";
  for (char16_t c : text) {
    out.push_back(char(c & 0xFF));
    out.push_back(char(c >> 8));
  }
  return out;
}

// A character reference or entity of an attribute value, from after '&' to before ';'.
void AppendReference(std::u16string& out, const std::u16string& ref, const std::u16string& whole) {
  if (ref == u"amp") out.push_back(u'&');
  else if (ref == u"lt") out.push_back(u'<');
  else if (ref == u"gt") out.push_back(u'>');
  else if (ref == u"quot") out.push_back(u'"');
  else if (ref == u"apos") out.push_back(u'\'');
  else if (!ref.empty() && ref[0] == u'#') {
    unsigned long v = 0;
    bool hex = ref.size() > 1 && (ref[1] == u'x' || ref[1] == u'X');
    for (size_t k = hex ? 2 : 1; k < ref.size() && v <= 0x10FFFF; ++k) {
      char16_t c = ref[k];
      int d = c >= u'0' && c <= u'9' ? c - u'0' : hex && c >= u'a' && c <= u'f' ? c - u'a' + 10 : hex && c >= u'A' && c <= u'F' ? c - u'A' + 10 : -1;
      if (d < 0) break;
      v = v * (hex ? 16 : 10) + unsigned(d);
    }
    if (v >= 0x10000 && v <= 0x10FFFF) {
      v -= 0x10000;
      out.push_back(char16_t(0xD800 + (v >> 10)));
      out.push_back(char16_t(0xDC00 + (v & 0x3FF)));
    } else if (v > 0 && v < 0x10000) {
      out.push_back(char16_t(v));
    }
  } else {
    out += whole;
  }
}

std::u16string Unescaped(const std::u16string& raw) {
  std::u16string out;
  for (size_t i = 0; i < raw.size(); ++i) {
    if (raw[i] != u'&') {
      out.push_back(raw[i]);
      continue;
    }
    size_t end = raw.find(u';', i);
    if (end == std::u16string::npos) {
      out.push_back(raw[i]);
      continue;
    }
    AppendReference(out, raw.substr(i + 1, end - i - 1), raw.substr(i, end - i + 1));
    i = end;
  }
  return out;
}

bool IsTagSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// The attributes written in a start tag, after the element's name.
std::vector<TagAttribute> ParseStartTag(const std::u16string& tag) {
  std::vector<TagAttribute> out;
  size_t i = 1;
  while (i < tag.size() && !IsTagSpace(tag[i]) && tag[i] != u'>' && tag[i] != u'/') ++i;  // element name
  for (;;) {
    while (i < tag.size() && IsTagSpace(tag[i])) ++i;
    if (i >= tag.size() || tag[i] == u'>' || tag[i] == u'/') break;
    size_t nameStart = i;
    while (i < tag.size() && tag[i] != u'=' && !IsTagSpace(tag[i])) ++i;
    std::u16string name = tag.substr(nameStart, i - nameStart);
    while (i < tag.size() && (IsTagSpace(tag[i]) || tag[i] == u'=')) ++i;
    if (i >= tag.size()) break;
    char16_t quote = tag[i++];
    size_t valueStart = i;
    while (i < tag.size() && tag[i] != quote) ++i;
    out.push_back({std::move(name), Unescaped(tag.substr(valueStart, i - valueStart))});
    ++i;
  }
  return out;
}

}  // namespace

bool SameByProbe(IXMLDOMNode* a, IXMLDOMNode* b) {
  try {
    DOMNodeType kind = NODE_INVALID;
    if (!SameKindAndName(a, b, kind)) return false;
    Bstr mark(NewMark());
    switch (kind) {
      case NODE_ELEMENT:
        return ProbeElement(a, b, mark);
      case NODE_TEXT:
      case NODE_CDATA_SECTION:
      case NODE_COMMENT:
      case NODE_PROCESSING_INSTRUCTION:
      case NODE_ATTRIBUTE:
        return ProbeValue(a, b, mark);
      case NODE_DOCUMENT:
        return ProbeDocument(a, b, mark);
      default:
        return false;
    }
  } catch (const Exception&) {
    return false;
  }
}

void RefuseCycle(IXMLDOMNode* parent, IXMLDOMNode* child) {
  Com<IXMLDOMNode> p = Com<IXMLDOMNode>::Share(parent);
  for (int depth = 0; p && depth < 100000; ++depth) {
    Com<IUnknown> a = Identity(p.get()), b = Identity(child);
    if ((a && a.get() == b.get()) || SameByProbe(p.get(), child))
      throw EOleException("Inserting a node or its ancestor under itself is not allowed", int32_t(E_FAIL),
                          "msxml3.dll", "", 0);
    Com<IXMLDOMNode> up;
    if (FAILED(p->get_parentNode(up.out()))) break;
    p = up;
  }
}

std::vector<TagAttribute> StartTagAttributes(IXMLDOMNode* element) {
  Com<IXMLDOMNode> shallow;
  Check(element->cloneNode(VARIANT_FALSE, shallow.out()));
  Bstr text;
  Check(shallow->get_xml(text.out()));
  return ParseStartTag(text.str());
}

std::u16string AttributeByWrittenName(IXMLDOMNode* element, const std::u16string& name) {
  Com<IXMLDOMNamedNodeMap> map;
  long n = 0;
  if (FAILED(element->get_attributes(map.out())) || !map || FAILED(map->get_length(&n))) return u"";
  for (long i = 0; i < n; ++i) {
    Com<IXMLDOMNode> a;
    Bstr an;
    if (SUCCEEDED(map->get_item(i, a.out())) && a && SUCCEEDED(a->get_nodeName(an.out())) && an.str() == name)
      return ValueOf(a.get());
  }
  return u"";
}

HRESULT RemoveAttributeByName(IXMLDOMNode* element, IXMLDOMAttribute* attr) {
  Com<IXMLDOMNamedNodeMap> map;
  Check(element->get_attributes(map.out()));
  if (!map) Fail(E_NOTIMPL);
  Bstr name;
  Check(attr->get_nodeName(name.out()));
  Com<IXMLDOMNode> removed;
  HRESULT hr = map->removeNamedItem(name.get(), removed.out());
  return hr == S_FALSE ? E_INVALIDARG : hr;  // S_FALSE: not an attribute of this element
}

bool DecodeDeclared(const std::string& bytes, std::u16string& text) {
  UINT cp = CodePageOf(EncodingInHead(bytes));
  if (cp == 0 || bytes.size() >= size_t(INT_MAX)) return false;
  int n = MultiByteToWideChar(cp, 0, bytes.data(), int(bytes.size()), nullptr, 0);
  if (n <= 0) return false;
  text.assign(size_t(n), u'\0');
  MultiByteToWideChar(cp, 0, bytes.data(), int(bytes.size()), reinterpret_cast<wchar_t*>(text.data()), n);
  return true;
}

std::u16string WithoutEncoding(const std::u16string& text, std::u16string* decl) {
  decl->clear();
  if (text.compare(0, 6, u"<?xml ") != 0) return text;
  const size_t end = text.find(u"?>");
  if (end == std::u16string::npos) return text;
  const DeclItem item = FindDeclItem(std::u16string_view(text).substr(0, end), "encoding", DeclQuote::Same);
  if (!item.Complete()) return text;
  size_t from = item.name;
  while (from > 6 && (text[from - 1] == u' ' || text[from - 1] == u'\t')) --from;
  *decl = text.substr(6, end - 6);
  while (!decl->empty() && (decl->back() == u' ' || decl->back() == u'\t')) decl->pop_back();
  return text.substr(0, from) + text.substr(item.close + 1);
}

void RestoreDeclaration(IXMLDOMDocument* doc, const std::u16string& decl) {
  Com<IXMLDOMNode> first, replaced;
  Com<IXMLDOMProcessingInstruction> pi;
  if (!decl.empty() && SUCCEEDED(doc->get_firstChild(first.out())) && first) {
    Check(doc->createProcessingInstruction(Bstr(u"xml").get(), Bstr(decl).get(), pi.out()));
    Check(doc->replaceChild(pi.get(), first.get(), replaced.out()));
  }
}

std::string DeclaredEncoding(IXMLDOMDocument* doc) {
  Com<IXMLDOMNode> first;
  if (FAILED(doc->get_firstChild(first.out())) || !first) return "";
  DOMNodeType t = NODE_INVALID;
  Bstr name;
  if (FAILED(first->get_nodeType(&t)) || t != NODE_PROCESSING_INSTRUCTION) return "";
  if (FAILED(first->get_nodeName(name.out())) || name.str() != u"xml") return "";
  Bstr text;
  if (FAILED(first->get_text(text.out()))) return "";
  std::string enc;
  for (char16_t c : DeclValue(std::u16string_view(text.str()), "encoding", DeclQuote::Same))
    enc.push_back(c < 0x80 ? char(platform::AsciiLower(c)) : '?');
  return enc;
}

std::string ToDeclaredEncoding(const std::string& utf8, const std::string& enc) {
  if (enc.empty() || enc == "utf-8" || enc == "utf8") return utf8;
  std::u16string text = platform::Utf8ToWide(utf8);
  if (enc == "utf-16" || enc == "utf-16le" || enc == "ucs-2") return Utf16LittleEndian(text);
  UINT cp = CodePageOf(enc);
  if (cp == 0) throw DOMException(Format("Cannot save in the encoding \"%s\"", enc.c_str()));
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size()) ? 2 : 1;
    if (text[i] < 0x80)
      out.push_back(char(text[i]));
    else
      AppendInPage(out, cp, &text[i], n);
    i += n;
  }
  return out;
}

}  // namespace velarin::xml::msxml::wine
