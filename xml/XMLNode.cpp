// Node objects: names, kinds, the single-text rule, new children and change reports.
#include <memory>

#include "platform/codepage.h"
#include "xml/XMLDoc.h"
#include "xml/docbusy.h"
#include "xml/xmlutil.h"

namespace velarin::xml {
namespace {

// Lists of destroyed node objects wait here, linked through themselves, to be
// released one after the other, so that dropping a deep tree never recurses by
// its depth. The queue is empty between calls, and the host makes one call at a
// time; plain pointers leave nothing to destroy at exit and do not pin the module.
TXMLNodeList* pendingLists = nullptr;
bool draining = false;

DOMDocument DocumentOf(const DOMNode& dom) {
  if (dom->nodeType() == nkDocument) return std::dynamic_pointer_cast<IDOMDocument>(dom);
  return dom->ownerDocument();
}

}  // namespace

TXMLNode::TXMLNode(DOMNode dom, TXMLNode* parent, TXMLDocument* doc)
    : dom_(std::move(dom)), parent_(parent) {
  if (!dom_) throw EXMLDocError("IDOMNode required");
  if (doc) link_ = doc->link_;
  isDocElement_ = parent_ && doc && parent_ == doc->rootNode_.get() && dom_->nodeType() == nkElement;
}

TXMLNode::~TXMLNode() {
  // Node objects and lists that others still hold stay valid, detached from us.
  for (IXMLNodeList* l : {&children_, &attrs_}) {
    if (!*l) continue;
    (*l)->owner_ = nullptr;
    for (const IXMLNode& n : (*l)->items_)
      if (n->parent_ == this) n->parent_ = nullptr;
  }
  for (IXMLNodeList* l : {&children_, &attrs_}) {
    if (!*l) continue;
    TXMLNodeList* list = l->get();
    list->AddRef();  // the queue's reference
    *l = nullptr;
    list->nextPending_ = pendingLists;
    pendingLists = list;
  }
  if (draining) return;
  draining = true;
  while (TXMLNodeList* list = pendingLists) {
    pendingLists = list->nextPending_;
    list->nextPending_ = nullptr;
    list->Release();  // may destroy nodes, which queue their own lists
  }
  draining = false;
}

void TXMLNode::AddRef() noexcept {
  ++refCount_;
  if (isDocElement_ && refCount_ > 1)
    if (TXMLDocument* d = OwnerDoc()) d->AddRef();
}

void TXMLNode::Release() noexcept {
  TXMLDocument* d = (isDocElement_ && refCount_ > 1) ? OwnerDoc() : nullptr;
  if (--refCount_ == 0) {
    delete this;
    return;
  }
  // last: releasing the document may release the list that holds us
  if (d) d->Release();
}

void TXMLNode::SetDocElement(bool on) noexcept {
  if (on == isDocElement_) return;
  TXMLDocument* d = OwnerDoc();
  int extra = refCount_ - 1;
  isDocElement_ = on;
  if (!d) return;
  for (int i = 0; i < extra; ++i) {
    if (on)
      d->AddRef();
    else
      d->Release();
  }
}

const std::u16string& TXMLNode::CachedQName() const {
  if (!(cached_ & 1)) {
    qname_ = dom_->nodeName();
    cached_ |= 1;
  }
  return qname_;
}
const std::u16string& TXMLNode::CachedLocalName() const {
  if (!(cached_ & 2)) {
    localName_ = dom_->localName();
    cached_ |= 2;
  }
  return localName_;
}
const std::u16string& TXMLNode::CachedNamespaceURI() const {
  if (!(cached_ & 4)) {
    nsURI_ = dom_->namespaceURI();
    cached_ |= 4;
  }
  return nsURI_;
}

IXMLNodeList TXMLNode::Children() {
  if (!children_) {
    // The root node's list matches in no namespace, so the top element is found by name alone.
    IXMLNodeList list(new TXMLNodeList(this, TXMLNodeList::Kind::Children,
                                       Kind() == nkDocument ? std::u16string() : NamespaceURI()));
    DOMNodes kids = dom_->childNodes();
    TXMLDocument* d = OwnerDoc();
    list->items_.reserve(kids.size());
    for (DOMNode& k : kids) list->items_.emplace_back(new TXMLNode(std::move(k), this, d));
    children_ = std::move(list);
  }
  return children_;
}

IXMLNodeList TXMLNode::Attrs() {
  if (!attrs_) {
    IXMLNodeList list(new TXMLNodeList(this, TXMLNodeList::Kind::Attributes, std::u16string()));
    if (dom_->hasAttributeMap()) {
      DOMNodes as = dom_->attributes();
      TXMLDocument* d = OwnerDoc();
      list->items_.reserve(as.size());
      for (DOMNode& a : as) list->items_.emplace_back(new TXMLNode(std::move(a), nullptr, d));
    }
    attrs_ = std::move(list);
  }
  return attrs_;
}

Value TXMLNode::Attribute(const std::u16string& name) {
  if (Kind() != nkElement) throw EXMLDocError("Attributes are not supported on this node type");
  IXMLNode a = Attrs()->Lookup(name);
  if (a) return a->TextValue();
  TXMLDocument* d = OwnerDoc();
  if (d && !d->HasOption(doAttrNull)) return std::u16string();
  return std::nullopt;
}

void TXMLNode::SetAttribute(const std::u16string& name, const Value& value) {
  if (Kind() != nkElement) throw EXMLDocError("Attributes are not supported on this node type");
  IXMLNodeList attrs = Attrs();
  if (!value) {
    attrs->RemoveNamed(name);
    return;
  }
  IXMLNode a = attrs->Lookup(name);
  if (!a) {
    TXMLDocument* d = OwnerDoc();
    if (!d) throw EXMLDocError("No active document");
    a = d->CreateNode(name, nkAttribute);
    attrs->InsertAt(-1, a);
  }
  a->SetTextValue(*value);
}

Value TXMLNode::ValueOfChild(const std::u16string& name) {
  IXMLNode n = Children()->Lookup(name);
  if (!n) return std::nullopt;
  return n->GetValue();
}

bool TXMLNode::HasChildren() const { return dom_->hasChildNodes(); }

bool TXMLNode::IsPlainText() const {
  if (Kind() != nkElement || !dom_->hasChildNodes()) return false;
  DOMNodes kids = dom_->childNodes();
  return kids.size() == 1 && kids[0]->nodeType() == nkText;
}

std::u16string TXMLNode::LocalName() const { return CachedLocalName(); }
std::u16string TXMLNode::NamespaceURI() const { return CachedNamespaceURI(); }
std::u16string TXMLNode::QualifiedName() const { return CachedQName(); }
std::u16string TXMLNode::Prefix() const { return dom_->prefix(); }
int TXMLNode::Kind() const { return dom_->nodeType(); }

Value TXMLNode::GetValue() {
  std::u16string t = TextValue();
  if (t.empty()) return std::nullopt;
  return t;
}

void TXMLNode::SetValue(const Value& v) { SetTextValue(v ? *v : std::u16string()); }

DOMNode TXMLNode::RequireOneTextChild() {
  if (dom_->hasChildNodes()) {
    DOMNodes kids = dom_->childNodes();
    if (kids.size() != 1 || (kids[0]->nodeType() != nkText && kids[0]->nodeType() != nkCData))
      throw EXMLDocError("Element does not contain a single text node");
    return kids[0];
  }
  // An empty element gets its text node silently; the cached list no longer matches.
  DOMDocument doc = DocumentOf(dom_);
  if (!doc) throw EXMLDocError("No active document");
  DOMNode text = doc->createTextNode(u"");
  dom_->appendChild(text);
  if (children_) {
    children_->owner_ = nullptr;
    children_ = nullptr;
  }
  return text;
}

std::u16string TXMLNode::TextValue() {
  if (Kind() == nkElement) return RequireOneTextChild()->nodeValue();
  return dom_->nodeValue();
}

void TXMLNode::SetTextValue(const std::u16string& v) {
  NodeChange(ncUpdateValue, true);
  if (Kind() == nkElement) {
    DOMNode child = RequireOneTextChild();
    if (child->nodeType() == nkCData && !CDataHolds(v, DocumentEncoding()))
      ReplaceByText(child, v);
    else
      child->setNodeValue(v);
  } else {
    dom_->setNodeValue(v);
  }
  NodeChange(ncUpdateValue, false);
}

std::string TXMLNode::DocumentEncoding() const {
  TXMLDocument* d = OwnerDoc();
  // without its document the encoding is unknown: "?" names none, so only ASCII passes
  if (!d || !d->Active()) return "?";
  return platform::WideToUtf8(d->DeclaredEncoding());
}

void TXMLNode::ReplaceByText(const DOMNode& cdata, const std::u16string& v) {
  DOMDocument doc = DocumentOf(dom_);
  if (!doc) throw EXMLDocError("No active document");
  dom_->insertBefore(doc->createTextNode(v), cdata);
  dom_->removeChild(cdata);
  // The cached list held the section: whoever keeps its node object keeps a detached node.
  if (children_) {
    for (const IXMLNode& n : children_->items_)
      if (n->parent_ == this) n->parent_ = nullptr;
    children_->owner_ = nullptr;
    children_ = nullptr;
  }
}

std::u16string TXMLNode::FindNamespaceURI(const std::u16string& prefix) {
  for (TXMLNode* n = this; n; n = n->parent_) {
    IXMLNodeList attrs = n->Attrs();
    for (const IXMLNode& a : attrs->items_) {
      if (a->CachedLocalName() != prefix) continue;
      if (a->Prefix() == u"xmlns") return a->dom_->nodeValue();
    }
  }
  return std::u16string();
}

IXMLNode TXMLNode::NewChild(const std::u16string& name, int index) {
  std::u16string qname, uri;
  size_t colon = name.find(u':');
  if (colon != std::u16string::npos) {
    qname = name;
    uri = FindNamespaceURI(name.substr(0, colon));
  } else {
    std::u16string prefix = Prefix();
    qname = prefix.empty() ? name : prefix + u":" + name;
    uri = CachedNamespaceURI();
  }
  return NewChildNS(qname, uri, index);
}

IXMLNode TXMLNode::NewChildNS(const std::u16string& name, const std::u16string& namespaceURI,
                              int index) {
  DOMDocument doc = DocumentOf(dom_);
  if (!doc) throw EXMLDocError("No active document");
  DOMNode element = namespaceURI.empty() ? doc->createElement(name)
                                         : doc->createElementNS(namespaceURI, name);
  IXMLNode node(new TXMLNode(std::move(element), this, OwnerDoc()));
  Children()->InsertAt(index, node);
  return node;
}

IXMLNode TXMLNode::NextSibling() {
  if (!parent_) return nullptr;
  IXMLNodeList list = parent_->Children();
  int i = list->IndexOf(IXMLNode(this));
  if (i < 0 || i + 1 >= list->NodeCount()) return nullptr;
  return list->items_[size_t(i) + 1];
}

IXMLNode TXMLNode::PreviousSibling() {
  if (!parent_) return nullptr;
  IXMLNodeList list = parent_->Children();
  int i = list->IndexOf(IXMLNode(this));
  if (i <= 0) return nullptr;
  return list->items_[size_t(i) - 1];
}

void TXMLNode::NodeChange(TNodeChange kind, bool before) {
  if (before && readOnly_) throw EXMLDocError("Node is readonly");
  if (TXMLDocument* d = OwnerDoc()) d->DoNodeChange(*this, kind, before);
}

}  // namespace velarin::xml
