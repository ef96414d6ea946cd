#include "xml/pugicheck.h"

#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#include "xml/markupscan.h"

namespace velarin::xml {
namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsNameStart(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool IsNameChar(char c) { return IsNameStart(c) || (c >= '0' && c <= '9') || c == '.' || c == '-'; }

// An ASCII name with at most one colon, inside: libxml2 reads every such name
// alike. Other names are left to libxml2. prefix gets the part before the colon.
bool IsPlainQName(const char* name, std::string_view& prefix) {
  const char* colon = nullptr;
  if (!IsNameStart(*name)) return false;
  const char* p = name + 1;
  for (; *p; ++p) {
    if (*p == ':') {
      if (colon || !IsNameStart(p[1])) return false;
      colon = p;
    } else if (!IsNameChar(*p)) {
      return false;
    }
  }
  if (p - name > 1000) return false;
  prefix = colon ? std::string_view(name, size_t(colon - name)) : std::string_view();
  return true;
}

bool Skip(const std::string& text, size_t& at, const char* end) {
  size_t found = text.find(end, at);
  if (found == std::string::npos) return false;
  at = found + std::strlen(end);
  return true;
}

}  // namespace

TopLevel ScanTopLevel(const std::string& text, bool declared) {
  TopLevel top;
  size_t at = 0;
  if (declared && !Skip(text, at, "?>")) top.handOver = "an unfinished declaration";
  while (!top.handOver) {
    while (at < text.size() && IsBlank(text[at])) ++at;
    if (text.compare(at, 4, "<!--") == 0) {
      if (!Skip(text, at, "-->")) top.handOver = "an unfinished comment";
    } else if (text.compare(at, 2, "<?") == 0) {
      if (!Skip(text, at, "?>")) top.handOver = "an unfinished processing instruction";
    } else if (at + 1 < text.size() && text[at] == '<' && IsNameStart(text[at + 1])) {
      top.rootName = at + 1;
      break;
    } else {
      top.handOver = "something other than markup before the root element";
    }
  }
  if (top.handOver) return top;
  size_t end = text.size();
  while (end > 0 && IsBlank(text[end - 1])) --end;
  const size_t lt = end ? text.rfind('<', end - 1) : std::string::npos;
  if (lt == std::string::npos || lt + 1 < top.rootName || text[end - 1] != '>') {
    top.handOver = "something after the root element";
    return top;
  }
  top.tail = text.substr(lt, end - lt);
  return top;
}

namespace {

// The root's end tag, or the root itself when it is empty, ends the text.
bool RootEndsTheText(const pugi::xml_node& root, const TopLevel& top) {
  const std::string& tail = top.tail;
  const size_t n = std::strlen(root.name());
  if (tail.size() >= 3 + n && tail.compare(0, 2, "</") == 0 && tail.compare(2, n, root.name()) == 0) {
    for (size_t i = 2 + n; i + 1 < tail.size(); ++i)
      if (!IsBlank(tail[i])) return false;
    return true;
  }
  // <root .../>: the last '<' is the root's own
  return !root.first_child() && tail.size() >= n + 3 && tail.compare(1, n, root.name()) == 0 &&
         tail.compare(tail.size() - 2, 2, "/>") == 0;
}

const char* CheckTopLevel(const pugi::xml_document& doc, const std::string& text, const TopLevel& top) {
  pugi::xml_node root;
  for (pugi::xml_node c = doc.first_child(); c; c = c.next_sibling()) {
    switch (c.type()) {
      case pugi::node_element:
        if (root) return "more than one root element";
        root = c;
        break;
      case pugi::node_comment:
      case pugi::node_pi:
        break;
      default:
        return "a document type or text outside the root element";
    }
  }
  if (!root) return "no root element";
  if (root.name() != text.data() + top.rootName) return "the root element is not where the text has it";
  if (!RootEndsTheText(root, top)) return "something after the root element";
  return nullptr;
}

const char* CheckComment(const char* value) {
  const size_t n = std::strlen(value);
  if (std::strstr(value, "--") || (n && value[n - 1] == '-')) return "a double hyphen in a comment";
  return nullptr;
}

const char* CheckPI(const char* target) {
  std::string_view prefix;
  if (!IsPlainQName(target, prefix) || !prefix.empty()) return "an unusual processing instruction target";
  if (std::strlen(target) == 3 && (target[0] | 0x20) == 'x' && (target[1] | 0x20) == 'm' && (target[2] | 0x20) == 'l')
    return "a processing instruction named xml";
  return nullptr;
}

// The declarations in scope, innermost last, and how the walk stands.
struct Walk {
  struct Declared {
    std::string_view prefix, uri;
  };
  std::vector<Declared> scope;
  std::vector<std::pair<pugi::xml_node, size_t>> open;  // element, scope size before it
  std::vector<bool> preserve{false};
  std::uint64_t work = 0;
  TreeCheck result;

  bool InScope(std::string_view prefix) const {
    for (size_t i = scope.size(); i-- > 0;)
      if (scope[i].prefix == prefix) return true;
    return false;
  }
  const char* Enter(const pugi::xml_node& element);
  const char* Declare(const pugi::xml_attribute& a, std::string_view prefix);
  const char* CheckAttributes(const pugi::xml_node& element, bool& preserve);
};

const char* Walk::Declare(const pugi::xml_attribute& a, std::string_view prefix) {
  const std::string_view name = a.name();
  const std::string_view declared = name.size() > 5 ? name.substr(6) : std::string_view();
  if (name.size() > 5 && prefix != "xmlns") return "an unusual namespace declaration";
  if (declared == "xml" || declared == "xmlns") return "a declaration of a reserved prefix";
  const std::string_view uri = a.value();
  if (!declared.empty() && uri.empty()) return "an empty namespace name";
  if (uri == "http://www.w3.org/XML/1998/namespace" || uri == "http://www.w3.org/2000/xmlns/")
    return "a reserved namespace name";
  for (unsigned char c : uri)
    if (c < 0x20 || c >= 0x7F || c == '<' || c == '&' || c == '"' || c == '\'')
      return "an unusual namespace name";
  scope.push_back({declared, uri});
  return nullptr;
}

const char* Walk::CheckAttributes(const pugi::xml_node& element, bool& preserve) {
  std::uint64_t count = 0;
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    std::string_view prefix;
    if (!IsPlainQName(a.name(), prefix)) return "an unusual attribute name";
    if (++count > 64) return "many attributes on one element";
    const bool declaration = std::strncmp(a.name(), "xmlns", 5) == 0 && (a.name()[5] == 0 || a.name()[5] == ':');
    if (declaration) {
      if (const char* why = Declare(a, prefix)) return why;
      continue;
    }
    if (std::strchr(a.value(), '<')) return "'<' in an attribute value";
    if (prefix == "xml" && std::strcmp(a.name(), "xml:space") == 0) preserve = std::strcmp(a.value(), "preserve") == 0;
    // two attributes by the same name, or by the same local name in namespaces
    const char* local = prefix.empty() ? a.name() : a.name() + prefix.size() + 1;
    for (pugi::xml_attribute b = element.first_attribute(); b != a; b = b.next_attribute()) {
      if (std::strcmp(a.name(), b.name()) == 0) return "an attribute given twice";
      const char* colon = std::strchr(b.name(), ':');
      if (!prefix.empty() && colon && std::strcmp(colon + 1, local) == 0) return "namespaced attributes by one local name";
    }
  }
  return nullptr;
}

const char* Walk::Enter(const pugi::xml_node& element) {
  std::string_view prefix;
  if (!IsPlainQName(element.name(), prefix)) return "an unusual element name";
  const size_t before = scope.size();
  bool keep = preserve.back();
  if (const char* why = CheckAttributes(element, keep)) return why;
  if (!prefix.empty() && (prefix == "xml" || prefix == "xmlns" || !InScope(prefix)))
    return "an element prefix without a declaration";
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) {
    std::string_view p;
    IsPlainQName(a.name(), p);
    if (!p.empty() && p != "xml" && p != "xmlns" && !InScope(p)) return "an attribute prefix without a declaration";
  }
  // the same measure of markup work the scan run ahead of libxml2 keeps
  std::uint64_t k = 0;
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute()) ++k;
  const std::uint64_t declared = scope.size() - before;
  work += k * k + (k + 1) * (open.size() + 1 + before + declared);
  if (work > kMarkupWorkAllowance) return "much markup work";
  if (open.size() >= 256) return "deep nesting";
  open.emplace_back(element, before);
  preserve.push_back(keep);
  return nullptr;
}

}  // namespace

TreeCheck CheckTree(const pugi::xml_document& doc, const std::string& text, const TopLevel& top) {
  Walk w;
  if ((w.result.handOver = CheckTopLevel(doc, text, top))) return w.result;
  pugi::xml_node n = doc.first_child();
  while (n && !w.result.handOver) {
    const char* why = nullptr;
    switch (n.type()) {
      case pugi::node_element:
        why = w.Enter(n);
        break;
      case pugi::node_comment:
        why = CheckComment(n.value());
        break;
      case pugi::node_pi:
        why = CheckPI(n.name());
        break;
      case pugi::node_cdata:
        // libxml2 joins CDATA sections that follow each other into one
        if (n.next_sibling().type() == pugi::node_cdata) why = "CDATA sections side by side";
        break;
      case pugi::node_pcdata:
        if (w.preserve.back() && *n.value() && std::strspn(n.value(), " \t\r\n") == std::strlen(n.value()))
          w.result.preservedBlanks.push_back(n.internal_object());
        break;
      default:
        break;
    }
    if (why) {
      w.result.handOver = why;
      break;
    }
    // next in document order, leaving the elements that end on the way
    if (n.type() == pugi::node_element && n.first_child()) {
      n = n.first_child();
      continue;
    }
    if (n.type() == pugi::node_element) {
      w.scope.resize(w.open.back().second);
      w.open.pop_back();
      w.preserve.pop_back();
    }
    while (!n.next_sibling() && !w.open.empty()) {
      n = w.open.back().first;
      w.scope.resize(w.open.back().second);
      w.open.pop_back();
      w.preserve.pop_back();
    }
    n = n.next_sibling();
  }
  return w.result;
}

}  // namespace velarin::xml
