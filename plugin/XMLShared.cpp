// Node operations of the plug-in core: the top element, path walks, reads, removals, body count.
#include "plugin/XMLShared.h"

#include <limits>

#include "plugin/shared.h"

namespace velarin::plugin {

using xml::doNodeAutoCreate;
using xml::DocOption;
using xml::IXMLNodeList;
using xml::TXMLDocOptions;

IXMLNode FindTopElement(const IXMLDocument& doc, const std::u16string& name) {
  doc->SetActive(true);
  IXMLNodeList top = doc->Children();
  const int count = top->NodeCount();
  for (int i = 0; i < count; ++i) {
    IXMLNode node = top->Item(i);
    // the document type carries the top element's name too
    if (node->Kind() == xml::nkElement && node->QualifiedName() == name) return node;
  }
  return nullptr;
}

IXMLNode TopElement(const IXMLDocument& doc) {
  IXMLNode top = FindTopElement(doc, u"FictionBook");
  if (!top) throw Exception("No FictionBook element");
  return top;
}

int Occurrence(const IXMLNodeList& children, const std::u16string& name, int n) {
  return children->IndexOfNamed(name, n);
}

IXMLNode Occurrence(const IXMLNode& parent, const std::u16string& name, int n) {
  IXMLNodeList children = parent->Children();
  const int at = Occurrence(children, name, n);
  return at < 0 ? nullptr : children->Item(at);
}

int AfterLastOccurrence(const IXMLNodeList& children, const std::u16string& name) {
  const int count = children->CountNamed(name);
  return count == 0 ? 0 : children->IndexOfNamed(name, count - 1) + 1;
}

IXMLNode WalkPath(const IXMLNode& start, std::string_view path) {
  const bool create = start->OwnerDoc() && start->OwnerDoc()->HasOption(doNodeAutoCreate);
  IXMLNode node = start;
  size_t pos = 0;
  while (pos < path.size() && node) {
    const size_t slash = path.find('/', pos);
    const bool attribute = path[pos] == '@';
    std::string_view step;
    size_t next;
    if (slash == std::string_view::npos) {
      step = path.substr(attribute ? pos + 1 : pos);
      next = path.size();
    } else if (attribute) {
      // an attribute step that is not the last keeps its '/', so find mode never finds it
      step = path.substr(pos + 1, slash + 1 - (pos + 1));
      next = slash + 1;
    } else {
      step = path.substr(pos, slash - pos);
      next = slash + 1;
    }
    IXMLNodeList list = attribute ? node->Attrs() : node->Children();
    const std::u16string name = FromSys(step);
    node = create ? list->Item(name) : list->Lookup(name);
    pos = next;
  }
  return node;
}

int PathSteps(std::string_view path) {
  int steps = 0;
  size_t pos = 0;
  while (pos < path.size()) {
    size_t slash = path.find('/', pos);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash > pos) ++steps;
    pos = slash + 1;
  }
  return steps;
}

namespace {

// Switches node auto-creation off for a scope and puts the options back.
class FindModeScope {
 public:
  explicit FindModeScope(xml::TXMLDocument* doc) : doc_(doc) {
    if (doc_) {
      saved_ = doc_->Options();
      doc_->SetOptions(TXMLDocOptions(saved_ & ~DocOption(doNodeAutoCreate)));
    }
  }
  ~FindModeScope() {
    if (doc_) doc_->SetOptions(saved_);
  }
  FindModeScope(const FindModeScope&) = delete;
  FindModeScope& operator=(const FindModeScope&) = delete;

 private:
  xml::TXMLDocument* doc_;
  TXMLDocOptions saved_ = 0;
};

bool IsElement(const IXMLNode& node) { return node && node->Kind() == xml::nkElement; }

}  // namespace

std::string ValueAtPath(const IXMLNode& node, std::string_view path) {
  FindModeScope findMode(node->OwnerDoc());
  IXMLNode found = WalkPath(node, path);
  if (!found) return std::string();
  return ToSys(found->TextValue());
}

void DeleteAtPath(const IXMLNode& node, std::string_view path) {
  if (path.empty()) return;
  if (path.back() == '/') path.remove_suffix(1);
  const size_t at = path.find('@');
  if (at != std::string_view::npos) {
    IXMLNode element = WalkPath(node, path.substr(0, at));
    if (IsElement(element)) element->Attrs()->RemoveNamed(FromSys(path.substr(at + 1)));
    return;
  }
  // the last '/' before the final character splits parent path and child name
  size_t last = std::string_view::npos;
  if (path.size() > 1) last = path.rfind('/', path.size() - 2);
  std::string_view parentPath;
  std::string_view childName;
  if (last == std::string_view::npos) {
    childName = path;
  } else {
    parentPath = path.substr(0, last);  // without that '/'
    childName = path.substr(last + 1);
  }
  IXMLNode parent = WalkPath(node, parentPath);
  if (IsElement(parent)) parent->Children()->RemoveNamed(FromSys(childName));
}

std::int32_t CountBodyText(const IXMLNode& node) {
  if (!node) return 0;
  // Counted on the platform nodes beneath the node objects: the count visits
  // the whole body on every request, and wrapping each of its nodes would cost
  // more than the parse. The rule is the node layer's IsPlainText.
  const std::int64_t total = node->DOMNodeRef()->plainTextLength();
  return total > std::numeric_limits<std::int32_t>::max() ? std::int32_t(std::numeric_limits<std::int32_t>::max())
                                                          : std::int32_t(total);
}

}  // namespace velarin::plugin
