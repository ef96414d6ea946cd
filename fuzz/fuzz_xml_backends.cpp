// Fuzz target: each input loaded by the pugixml and the libxml2 back-ends, which must agree on
// whether it parses, on the tree a reader sees, and on what a save writes; a difference aborts.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "xml/xmldom.h"

using namespace velarin::xml;

namespace {

// The implementation named, or none while it is not registered.
std::shared_ptr<IDOMImplementation> Find(const char* name) {
  try {
    return GetDOM(name);
  } catch (const velarin::Exception&) {
    return nullptr;
  }
}

// 16-bit text as bytes, so that both kinds of result compare and print alike.
std::string Units(const std::u16string& s) {
  std::string out;
  out.reserve(s.size());
  for (char16_t c : s) {
    if (c < 0x80) {
      out += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", unsigned(c));
      out += buf;
    }
  }
  return out;
}

// A stretch of s around offset at, control and non-ASCII bytes escaped.
std::string Excerpt(const std::string& s, size_t at) {
  const size_t from = at > 40 ? at - 40 : 0;
  std::string out;
  for (size_t i = from; i < s.size() && i < from + 120; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c < 0x7F) {
      out += char(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02X", unsigned(c));
      out += buf;
    }
  }
  return out;
}

// Aborts, showing both sides from a little before their first difference.
void Expect(const char* what, const std::string& fast, const std::string& reference) {
  if (fast == reference) return;
  const auto diff = std::mismatch(fast.begin(), fast.begin() + std::min(fast.size(), reference.size()),
                                  reference.begin());
  const size_t at = size_t(diff.first - fast.begin());
  std::fprintf(stderr, "back-ends differ in %s at offset %zu (sizes %zu, %zu)\n  pugixml: %s\n  libxml2: %s\n", what,
               at, fast.size(), reference.size(), Excerpt(fast, at).c_str(), Excerpt(reference, at).c_str());
  std::abort();
}

void Append(std::string& out, const char* label, const std::u16string& value) {
  out += label;
  out += Units(value);
  out += '|';
}

// One line per node in document order with what the document layer reads of it:
// the tree without hidden blanks, attributes in order, the body text count.
std::string ReaderView(const IDOMDocument& doc) {
  std::string out = "text " + std::to_string(doc.plainTextLength()) + "\n";
  std::vector<std::pair<DOMNode, int>> stack;
  const DOMNodes top = doc.childNodes();
  for (auto it = top.rbegin(); it != top.rend(); ++it) stack.push_back({*it, 0});
  while (!stack.empty()) {
    const DOMNode node = stack.back().first;
    const int depth = stack.back().second;
    stack.pop_back();
    out += std::string(size_t(std::min(depth, 64)), ' ') + std::to_string(node->nodeType()) + ' ';
    Append(out, "", node->nodeName());
    Append(out, "ns=", node->namespaceURI());
    Append(out, "prefix=", node->prefix());
    Append(out, "local=", node->localName());
    Append(out, "value=", node->nodeValue());
    if (node->hasAttributeMap())
      for (const DOMNode& a : node->attributes()) {
        Append(out, " @", a->nodeName());
        Append(out, "ns=", a->namespaceURI());
        Append(out, "=", a->nodeValue());
      }
    const DOMNodes kids = node->childNodes();
    out += (node->hasChildNodes() ? " has " : " none ") + std::to_string(kids.size()) + '\n';
    for (auto it = kids.rbegin(); it != kids.rend(); ++it) stack.push_back({*it, depth + 1});
  }
  return out;
}

// What one back-end makes of the input, step by step; a step that raises gives its message.
struct Result {
  std::string load, view, bytes, text;
};

Result Run(IDOMImplementation& impl, const std::string& input) {
  Result r;
  try {
    DOMDocument doc = impl.createDocument();
    doc->setParseSettings(DOMParseSettings{});
    if (!doc->loadBytes(input)) {
      r.load = "refused";
      return r;
    }
    r.load = "accepted";
    r.view = ReaderView(*doc);
    try {
      r.bytes = doc->saveBytes();
    } catch (const velarin::Exception& e) {
      r.bytes = std::string("raised: ") + e.what();
    }
    try {
      r.text = Units(doc->xml());
    } catch (const velarin::Exception& e) {
      r.text = std::string("raised: ") + e.what();
    }
  } catch (const velarin::Exception& e) {
    r.load = std::string("raised: ") + e.what();
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::shared_ptr<IDOMImplementation> fast = Find("pugixml");
  static const std::shared_ptr<IDOMImplementation> reference = Find("libxml2");
  if (!fast || !reference) return 0;
  const std::string input(reinterpret_cast<const char*>(data), size);
  const Result a = Run(*fast, input), b = Run(*reference, input);
  Expect("accepting the input", a.load, b.load);
  Expect("the tree a reader sees", a.view, b.view);
  Expect("saveBytes()", a.bytes, b.bytes);
  Expect("xml()", a.text, b.text);
  return 0;
}
