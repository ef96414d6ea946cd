// The MSXML back-end of the DOM binding: the platform parser on Windows, reached through COM.
#include "xml/msxmldom.h"

#include <type_traits>
#include <utility>

#include "platform/files.h"
#include "platform/limits.h"
#include "platform/win32/wine.h"
#include "xml/markupscan.h"
#include "xml/msxmlcom.h"
#include "xml/msxmlwine.h"
#include "xml/xmldom.h"

namespace velarin::xml {
namespace {

using namespace msxml;

// The document classes, tried in this order: 4.0, 3.0, 2.6, version-independent.
const CLSID kDocumentClasses[] = {
    {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}},
    {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}},
    {0xF5078F1B, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}},
    {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}},
};

// COM is started on each thread that reaches the parser, never inside the loader callback.
void EnsureCom() {
  thread_local bool started = false;
  if (started) return;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // S_FALSE: already started here; RPC_E_CHANGED_MODE: the host chose another apartment.
  if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) throw EOleSysError(SystemText(hr), int32_t(hr));
  started = true;
}

Com<IXMLDOMNode> PrevOf(IXMLDOMNode* n) {
  Com<IXMLDOMNode> p;
  Check(n->get_previousSibling(p.out()));
  return p;
}

Com<IXMLDOMNode> NextOf(IXMLDOMNode* n) {
  Com<IXMLDOMNode> p;
  Check(n->get_nextSibling(p.out()));
  return p;
}

// Calls f with each child of n in order, until f answers false. The list's own
// cursor, not its index (Wine walks from the first child for each index) nor the
// sibling links (Wine answers none around a document type).
template <class F>
void EachChild(IXMLDOMNode* n, F f) {
  Com<IXMLDOMNodeList> list;
  Check(n->get_childNodes(list.out()));
  if (!list) return;
  for (;;) {
    Com<IXMLDOMNode> c;
    Check(list->nextNode(c.out()));
    if (!c || !f(c)) return;
  }
}

bool IsBlank(const OLECHAR* s, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (s[i] != L' ' && s[i] != L'\t' && s[i] != L'\r' && s[i] != L'\n') return false;
  return true;
}

// Books are parsed with every blank kept, so that a save writes them back; the
// white-space-only text the parser made is hidden from reading, as if dropped.
// The document keeps what decides it, every node of the document reads it.
struct BlankRules {
  bool hide = false;    // the last load was asked to drop blank text
  int spaceAttrs = -1;  // whether any xml:space attribute is present; -1: not looked for yet
  bool madeSpaceAttr = false;  // one was set through setAttributeNode, where Wine cannot find it by name
  // Text made through createTextNode, which is never hidden. MSXML has no room
  // for a mark on a text node, so these are told apart by identity.
  std::vector<Com<IXMLDOMNode>> created;

  // Whether the document of node may carry xml:space anywhere; looked up once per load.
  bool MayPreserve(IXMLDOMNode* node) {
    if (spaceAttrs < 0) spaceAttrs = FindSpaceAttr(node) ? 1 : 0;
    return spaceAttrs != 0;
  }

 private:
  static bool FindSpaceAttr(IXMLDOMNode* node) {
    try {
      Com<IXMLDOMDocument> doc;
      if (FAILED(node->get_ownerDocument(doc.out())) || !doc) {
        if (KindOf(node) != NODE_DOCUMENT) return true;
        Check(node->QueryInterface(kIID_IXMLDOMDocument, reinterpret_cast<void**>(doc.out())));
      }
      Com<IXMLDOMDocument2> doc2;
      if (SUCCEEDED(doc->QueryInterface(kIID_IXMLDOMDocument2, reinterpret_cast<void**>(doc2.out()))) && doc2) {
        Variant xpath;
        V_VT(&xpath.v) = VT_BSTR;
        V_BSTR(&xpath.v) = SysAllocString(L"XPath");
        doc2->setProperty(Bstr(u"SelectionLanguage").get(), xpath.v);
      }
      Com<IXMLDOMNode> found;
      HRESULT hr = doc->selectSingleNode(Bstr(u"//@xml:space").get(), found.out());
      return FAILED(hr) || found;
    } catch (const Exception&) {
      return true;  // not known: look at the ancestors each time
    }
  }
};

// Tells the hidden blanks among the children of one node; what it learns about
// the node is kept for the next child.
class BlankFilter {
 public:
  BlankFilter(IXMLDOMNode* parent, BlankRules* rules) : parent_(parent), rules_(rules) {}
  // Whether anything can be hidden here at all.
  bool Active() const { return rules_ && rules_->hide; }

  // Whether child, a child of the parent, is a hidden blank.
  bool Hidden(IXMLDOMNode* child) { return KindOf(child) == NODE_TEXT && HiddenText(child); }
  // The same for a child known to be a text node; length gets the length of its value.
  bool HiddenText(IXMLDOMNode* child, long* length = nullptr) {
    Variant v;
    Check(child->get_nodeValue(&v.v));
    const OLECHAR* s = V_VT(&v.v) == VT_BSTR ? V_BSTR(&v.v) : nullptr;
    const size_t n = s ? SysStringLen(V_BSTR(&v.v)) : 0;
    if (length) *length = long(n);
    return Active() && IsBlank(s, n) && !Preserved() && !Created(child);
  }

  // Whether child is a visible text node (kind 3).
  bool VisibleText(IXMLDOMNode* child) { return KindOf(child) == NODE_TEXT && !Hidden(child); }

 private:
  // xml:space="preserve" on the nearest ancestor-or-self that carries the attribute.
  bool Preserved() {
    if (preserve_ < 0) {
      preserve_ = 0;
      if (rules_->MayPreserve(parent_)) {
        Com<IXMLDOMNode> p = Com<IXMLDOMNode>::Share(parent_);
        for (int depth = 0; p && depth < 100000; ++depth) {
          if (KindOf(p.get()) != NODE_ELEMENT) break;
          std::u16string value = SpaceOf(p.get());
          // Any other value leaves the choice to the ancestors.
          if (value == u"preserve") {
            preserve_ = 1;
            break;
          }
          if (value == u"default") break;
          Com<IXMLDOMNode> up;
          if (FAILED(p->get_parentNode(up.out()))) break;
          p = up;
        }
      }
    }
    return preserve_ == 1;
  }

  // The element's xml:space value, "" when it has none.
  std::u16string SpaceOf(IXMLDOMNode* element) {
    Com<IXMLDOMElement> e;
    Check(element->QueryInterface(kIID_IXMLDOMElement, reinterpret_cast<void**>(e.out())));
    Bstr name(u"xml:space");
    Variant v;
    if (e->getAttribute(name.get(), &v.v) == S_OK && V_VT(&v.v) == VT_BSTR && V_BSTR(&v.v))
      return std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&v.v)), SysStringLen(V_BSTR(&v.v)));
    if (!rules_->madeSpaceAttr) return u"";
    return wine::AttributeByWrittenName(element, u"xml:space");
  }

  bool Created(IXMLDOMNode* child) {
    if (rules_->created.empty()) return false;
    Com<IUnknown> id = Identity(child);
    for (const Com<IXMLDOMNode>& c : rules_->created)
      if (c.get() == child || (id && Identity(c.get()).get() == id.get())) return true;
    if (!platform::RunningUnderWine()) return false;
    // Wine hands out a new object for each request: only a change made through
    // one object tells. A blank child can only be one of the blank ones.
    if (!probed_) {
      probed_ = true;
      for (const Com<IXMLDOMNode>& c : rules_->created) {
        std::u16string v = ValueOf(c.get());
        if (IsBlank(reinterpret_cast<const OLECHAR*>(v.data()), v.size())) blankCreated_.push_back(c.get());
      }
    }
    for (IXMLDOMNode* c : blankCreated_)
      if (wine::SameByProbe(child, c)) return true;
    return false;
  }

  IXMLDOMNode* parent_;
  BlankRules* rules_;
  int preserve_ = -1;
  bool probed_ = false;
  std::vector<IXMLDOMNode*> blankCreated_;
};

class MsDocument;
// The document a node was reached from, and its blank rules.
struct Owner {
  std::weak_ptr<IDOMDocument> doc;
  std::shared_ptr<BlankRules> rules;
};
DOMNode WrapNode(Com<IXMLDOMNode> node, const Owner& owner);
DOMDocument WrapDocument(Com<IXMLDOMDocument> doc);

// What every wrapper holds: the platform node.
class MsHolder {
 public:
  virtual ~MsHolder() = default;
  virtual IXMLDOMNode* Raw() const = 0;
  // Points this object at another platform node that stands for the same node.
  virtual void Rebind(IXMLDOMNode* node) = 0;
};

IXMLDOMNode* RawOf(const DOMNode& n, bool required = true) {
  if (!n) {
    if (required) throw DOMException("Node cannot be null");
    return nullptr;
  }
  auto* h = dynamic_cast<const MsHolder*>(n.get());
  if (!h) throw DOMException("The node does not belong to the MSXML DOM Vendor");
  return h->Raw();
}

// The node calls, shared by plain nodes and the document.
template <class Base>
class MsNodeOf : public Base, public MsHolder {
 public:
  MsNodeOf(Com<IXMLDOMNode> node, Owner owner) : node_(std::move(node)), owner_(std::move(owner)) {}
  IXMLDOMNode* Raw() const override { return node_.get(); }
  void Rebind(IXMLDOMNode* node) override { node_ = Com<IXMLDOMNode>::Share(node); }

  std::u16string nodeName() const override { return Text(&IXMLDOMNode::get_nodeName); }
  std::u16string localName() const override { return Text(&IXMLDOMNode::get_baseName); }
  std::u16string namespaceURI() const override { return Text(&IXMLDOMNode::get_namespaceURI); }
  std::u16string prefix() const override { return Text(&IXMLDOMNode::get_prefix); }
  int nodeType() const override {
    DOMNodeType t = NODE_INVALID;
    Check(node_->get_nodeType(&t));
    return int(t);
  }
  std::u16string nodeValue() const override {
    Variant v;
    Check(node_->get_nodeValue(&v.v));
    if (V_VT(&v.v) == VT_NULL || V_VT(&v.v) == VT_EMPTY) return u"";
    if (V_VT(&v.v) != VT_BSTR) Check(VariantChangeType(&v.v, &v.v, 0, VT_BSTR));
    BSTR b = V_BSTR(&v.v);
    return b ? std::u16string(reinterpret_cast<const char16_t*>(b), SysStringLen(b)) : std::u16string();
  }
  void setNodeValue(const std::u16string& value) override {
    Variant v;
    Bstr b(value);
    V_VT(&v.v) = VT_BSTR;
    V_BSTR(&v.v) = SysAllocStringLen(b.get(), SysStringLen(b.get()));
    if (!V_BSTR(&v.v)) throw DOMException("Out of memory");
    Check(node_->put_nodeValue(v.v));
    // Text an edit made blank stays visible, like text made by createTextNode.
    if (owner_.rules && KindOf(node_.get()) == NODE_TEXT &&
        IsBlank(reinterpret_cast<const OLECHAR*>(value.data()), value.size()))
      owner_.rules->created.push_back(node_);
  }
  DOMNodes childNodes() const override {
    DOMNodes out;
    BlankFilter blanks = Blanks();
    EachChild(node_.get(), [&](Com<IXMLDOMNode>& c) {
      if (!(blanks.Active() && blanks.Hidden(c.get()))) out.push_back(WrapNode(std::move(c), owner_));
      return true;
    });
    return out;
  }
  bool hasAttributeMap() const override { return nodeType() == NODE_ELEMENT; }
  DOMNodes attributes() const override {
    DOMNodes out;
    if (!hasAttributeMap()) return out;
    if (platform::RunningUnderWine()) return WineAttributes();
    Com<IXMLDOMNamedNodeMap> map;
    Check(node_->get_attributes(map.out()));
    if (!map) return out;
    long n = 0;
    Check(map->get_length(&n));
    out.reserve(size_t(n > 0 ? n : 0));
    for (long i = 0; i < n; ++i) {
      Com<IXMLDOMNode> a;
      HRESULT hr = map->get_item(i, a.out());
      // Wine cannot hand out a default namespace declaration (xmlns="...") as a node.
      if (FAILED(hr) && platform::RunningUnderWine()) continue;
      Check(hr);
      if (a) out.push_back(WrapNode(std::move(a), owner_));
    }
    return out;
  }
  bool hasChildNodes() const override {
    VARIANT_BOOL b = VARIANT_FALSE;
    Check(node_->hasChildNodes(&b));
    if (b == VARIANT_FALSE) return false;
    BlankFilter blanks = Blanks();
    if (!blanks.Active()) return true;
    bool visible = false;
    EachChild(node_.get(), [&](Com<IXMLDOMNode>& c) { return !(visible = !blanks.Hidden(c.get())); });
    return visible;
  }
  // The same count as the default, over the platform's tree, the blanks skipped.
  std::int64_t plainTextLength() const override {
    std::int64_t total = 0;
    std::vector<Com<IXMLDOMNode>> pending{node_};
    while (!pending.empty()) {
      Com<IXMLDOMNode> current = std::move(pending.back());
      pending.pop_back();
      const DOMNodeType parentKind = KindOf(current.get());
      BlankFilter blanks(current.get(), parentKind == NODE_DOCUMENT ? nullptr : owner_.rules.get());
      size_t seen = 0;
      long length = 0;
      bool firstIsText = false;
      EachChild(current.get(), [&](Com<IXMLDOMNode>& c) {
        const DOMNodeType kind = KindOf(c.get());
        long n = 0;
        if (kind == NODE_TEXT && blanks.HiddenText(c.get(), &n)) return true;
        if (seen++ == 0) {
          firstIsText = kind == NODE_TEXT;
          length = n;
        }
        VARIANT_BOOL more = VARIANT_FALSE;
        if (kind == NODE_ELEMENT || (kind != NODE_TEXT && SUCCEEDED(c->hasChildNodes(&more)) && more != VARIANT_FALSE))
          pending.push_back(std::move(c));
        return true;
      });
      if (parentKind == NODE_ELEMENT && seen == 1 && firstIsText) total += length;
    }
    return total;
  }
  DOMDocument ownerDocument() const override {
    if (nodeType() == NODE_DOCUMENT) return nullptr;
    // The document object the node was reached from, so that its settings and
    // error record stay the ones the caller knows.
    if (auto known = owner_.doc.lock()) return known;
    Com<IXMLDOMDocument> doc;
    Check(node_->get_ownerDocument(doc.out()));
    if (!doc) return nullptr;
    return WrapDocument(std::move(doc));
  }
  DOMNode insertBefore(const DOMNode& newChild, const DOMNode& refChild) override {
    if (!refChild) throw DOMException("Node cannot be null");
    IXMLDOMNode* c = RawOf(newChild);
    IXMLDOMNode* ref = RawOf(refChild);
    RefuseCycle(c);
    BlankFilter blanks = Blanks();
    const DOMNodeType kind = KindOf(c);
    if (blanks.Active() && IsText(kind)) {
      // Checked before anything is removed: the reference must be a child here.
      Com<IXMLDOMNode> parent;
      Check(ref->get_parentNode(parent.out()));
      if (parent && SameNode(parent.get(), node_.get())) {
        ClearBlanksBefore(blanks, ref);
        // The reference itself may be blank only if the caller found it some other way.
        Com<IXMLDOMNode> after = Com<IXMLDOMNode>::Share(ref);
        while (after && blanks.Hidden(after.get())) {
          Com<IXMLDOMNode> next = NextOf(after.get());
          RemoveRaw(after.get());
          after = next;
        }
        Com<IXMLDOMNode> r = Insert(c, after.get());
        return Result(std::move(r), newChild);
      }
    }
    Com<IXMLDOMNode> r = Insert(c, ref);
    if (blanks.Active() && IsIndented(kind)) {
      // B ref becomes B new B' ref: the new node takes its siblings' indentation.
      Com<IXMLDOMNode> before = PrevOf(c);
      if (before && blanks.Hidden(before.get())) Insert(BlankLike(before.get()).get(), ref);
    }
    return Result(std::move(r), newChild);
  }
  DOMNode appendChild(const DOMNode& newChild) override {
    IXMLDOMNode* c = RawOf(newChild);
    RefuseCycle(c);
    BlankFilter blanks = Blanks();
    const DOMNodeType kind = KindOf(c);
    if (blanks.Active() && IsText(kind)) {
      ClearBlanksBefore(blanks, nullptr);
    } else if (blanks.Active() && IsIndented(kind)) {
      // Trailing blank T, last visible child V, the blank B in front of V:
      // B V T becomes B V B' new T.
      Com<IXMLDOMNode> last, trailing, visible, indent;
      Check(node_->get_lastChild(last.out()));
      if (last && blanks.Hidden(last.get())) trailing = last;
      visible = trailing ? PrevOf(trailing.get()) : last;
      if (visible) indent = PrevOf(visible.get());
      if (indent && !blanks.Hidden(indent.get())) indent = Com<IXMLDOMNode>();
      Com<IXMLDOMNode> r = Insert(c, trailing.get());
      if (indent) Insert(BlankLike(indent.get()).get(), c);
      return Result(std::move(r), newChild);
    }
    return Result(Insert(c, nullptr), newChild);
  }
  DOMNode removeChild(const DOMNode& child) override {
    IXMLDOMNode* c = RawOf(child);
    BlankFilter blanks = Blanks();
    Com<IXMLDOMNode> before, after;
    if (blanks.Active()) {
      before = PrevOf(c);
      after = NextOf(c);
    }
    Com<IXMLDOMNode> r;
    Check(node_->removeChild(c, r.out()));
    if (blanks.Active()) {
      // The blank in front goes with the node, so no empty line is left.
      if (before && blanks.Hidden(before.get())) {
        Com<IXMLDOMNode> earlier = PrevOf(before.get());
        RemoveRaw(before.get());
        before = earlier;
      }
      // Blanks that now touch text would read back as part of it.
      if (before && after) {
        if (blanks.VisibleText(after.get())) {
          ClearBlanksBefore(blanks, after.get());
        } else if (blanks.VisibleText(before.get())) {
          while (after && blanks.Hidden(after.get())) {
            Com<IXMLDOMNode> next = NextOf(after.get());
            RemoveRaw(after.get());
            after = next;
          }
        }
      }
    }
    return Result(std::move(r), child);
  }
  DOMNode setAttributeNode(const DOMNode& attr) override {
    Com<IXMLDOMElement> e = Element();
    Com<IXMLDOMAttribute> a = Attribute(attr);
    // The attribute of the same name that the new one replaces; looked up first
    // because Wine answers none.
    Bstr name;
    Check(a->get_name(name.out()));
    Com<IXMLDOMAttribute> before;
    Check(e->getAttributeNode(name.get(), before.out()));
    Com<IXMLDOMAttribute> old;
    Check(e->setAttributeNode(a.get(), old.out()));
    if (name.str() == u"xml:space" && owner_.rules) {
      owner_.rules->spaceAttrs = 1;
      owner_.rules->madeSpaceAttr = true;
    }
    if (platform::RunningUnderWine()) {
      // Wine attaches a copy: the caller's object must stand for the attached attribute.
      Com<IXMLDOMAttribute> attached;
      if (SUCCEEDED(e->getAttributeNode(name.get(), attached.out())) && attached)
        const_cast<MsHolder*>(dynamic_cast<const MsHolder*>(attr.get()))->Rebind(attached.get());
    }
    if (old && old.get() != a.get()) return WrapNode(Com<IXMLDOMNode>::Share(old.get()), owner_);
    // Wine answers none and writes the new value into the old attribute: that one
    // is what was replaced, so that the caller drops its entry for it.
    if (before) return WrapNode(Com<IXMLDOMNode>::Share(before.get()), owner_);
    return nullptr;
  }
  DOMNode removeAttributeNode(const DOMNode& attr) override {
    Com<IXMLDOMElement> e = Element();
    Com<IXMLDOMAttribute> a = Attribute(attr);
    Com<IXMLDOMAttribute> old;
    HRESULT hr = e->removeAttributeNode(a.get(), old.out());
    if (hr == E_NOTIMPL) hr = wine::RemoveAttributeByName(node_.get(), a.get());  // Wine lacks the call
    Check(hr);
    return attr;
  }
  bool isSameNode(const IDOMNode& other) const override {
    auto* h = dynamic_cast<const MsHolder*>(&other);
    return h && SameNode(node_.get(), h->Raw());
  }

 protected:
  static bool SameNode(IXMLDOMNode* a, IXMLDOMNode* b) {
    if (a == b) return true;
    Com<IUnknown> ia = Identity(a), ib = Identity(b);
    if (ia && ia.get() == ib.get()) return true;
    // Microsoft's MSXML keeps one object per node; Wine's makes a new one for each
    // request, so there only a change made through one object tells.
    return platform::RunningUnderWine() && wine::SameByProbe(a, b);
  }
  // No blank text sits at the document's level, and Wine answers no siblings around its document type.
  BlankFilter Blanks() const {
    return BlankFilter(node_.get(), std::is_same_v<Base, IDOMDocument> ? nullptr : owner_.rules.get());
  }
  static bool IsText(DOMNodeType k) { return k == NODE_TEXT || k == NODE_CDATA_SECTION; }
  static bool IsIndented(DOMNodeType k) {
    return k == NODE_ELEMENT || k == NODE_COMMENT || k == NODE_PROCESSING_INSTRUCTION;
  }
  // Puts child in front of ref, or last when ref is none.
  Com<IXMLDOMNode> Insert(IXMLDOMNode* child, IXMLDOMNode* ref) {
    Com<IXMLDOMNode> r;
    if (!ref) {
      Check(node_->appendChild(child, r.out()));
      return r;
    }
    Variant where;
    V_VT(&where.v) = VT_UNKNOWN;
    V_UNKNOWN(&where.v) = ref;
    ref->AddRef();
    Check(node_->insertBefore(child, where.v, r.out()));
    return r;
  }
  void RemoveRaw(IXMLDOMNode* child) {
    Com<IXMLDOMNode> r;
    Check(node_->removeChild(child, r.out()));
  }
  // Removes the hidden blanks right in front of ref (the last children when ref is none).
  void ClearBlanksBefore(BlankFilter& blanks, IXMLDOMNode* ref) {
    Com<IXMLDOMNode> c;
    if (ref) c = PrevOf(ref);
    else Check(node_->get_lastChild(c.out()));
    while (c && blanks.Hidden(c.get())) {
      Com<IXMLDOMNode> earlier = PrevOf(c.get());
      RemoveRaw(c.get());
      c = earlier;
    }
  }
  // A new hidden blank with the text of blank: made by the platform, not through
  // createTextNode, so that it stays hidden.
  Com<IXMLDOMNode> BlankLike(IXMLDOMNode* blank) {
    Com<IXMLDOMDocument> doc;
    Check(node_->get_ownerDocument(doc.out()));
    if (!doc) Check(node_->QueryInterface(kIID_IXMLDOMDocument, reinterpret_cast<void**>(doc.out())));
    Com<IXMLDOMText> t;
    Check(doc->createTextNode(Bstr(ValueOf(blank)).get(), t.out()));
    return Com<IXMLDOMNode>::Share(t.get());
  }
  std::u16string Text(HRESULT (STDMETHODCALLTYPE IXMLDOMNode::*get)(BSTR*)) const {
    Bstr b;
    Check((node_.get()->*get)(b.out()));
    return b.str();
  }
  // The node the platform answers is the one passed in; keep the caller's object for it.
  DOMNode Result(Com<IXMLDOMNode> r, const DOMNode& passed) const {
    if (!r) return nullptr;
    // The platform answers the node it was given.
    return passed;
  }
  // Microsoft's MSXML refuses to put a node under itself; Wine would make a cycle.
  void RefuseCycle(IXMLDOMNode* child) const {
    if (platform::RunningUnderWine()) wine::RefuseCycle(node_.get(), child);
  }
  // Wine's attribute map cannot hand out namespace declarations (the default one
  // fails, a prefixed one comes under the wrong index) and lists them last. The
  // element's start tag, written alone, tells the attributes in document order;
  // real attributes come from the map by name, declarations are made as
  // attribute nodes of the same name and value.
  DOMNodes WineAttributes() const {
    DOMNodes out;
    const std::vector<wine::TagAttribute> written = wine::StartTagAttributes(node_.get());
    Com<IXMLDOMNamedNodeMap> map;
    Check(node_->get_attributes(map.out()));
    Com<IXMLDOMDocument> doc;
    Check(node_->get_ownerDocument(doc.out()));
    if (!map || !doc) return out;
    for (const wine::TagAttribute& attr : written) {
      if (attr.IsDeclaration()) {
        Com<IXMLDOMAttribute> a;
        if (FAILED(doc->createAttribute(Bstr(attr.name).get(), a.out())) || !a) continue;
        Variant v;
        V_VT(&v.v) = VT_BSTR;
        V_BSTR(&v.v) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(attr.value.data()), UINT(attr.value.size()));
        a->put_nodeValue(v.v);
        out.push_back(WrapNode(Com<IXMLDOMNode>::Share(a.get()), owner_));
      } else {
        Com<IXMLDOMNode> a;
        if (SUCCEEDED(map->getNamedItem(Bstr(attr.name).get(), a.out())) && a)
          out.push_back(WrapNode(std::move(a), owner_));
      }
    }
    return out;
  }
  Com<IXMLDOMElement> Element() const {
    Com<IXMLDOMElement> e;
    Check(node_->QueryInterface(kIID_IXMLDOMElement, reinterpret_cast<void**>(e.out())));
    return e;
  }
  static Com<IXMLDOMAttribute> Attribute(const DOMNode& n) {
    Com<IXMLDOMAttribute> a;
    Check(RawOf(n)->QueryInterface(kIID_IXMLDOMAttribute, reinterpret_cast<void**>(a.out())));
    return a;
  }

  Com<IXMLDOMNode> node_;
  Owner owner_;
};

using MsNode = MsNodeOf<IDOMNode>;

class MsDocument : public MsNodeOf<IDOMDocument> {
 public:
  explicit MsDocument(Com<IXMLDOMDocument> doc)
      : MsNodeOf<IDOMDocument>(Com<IXMLDOMNode>::Share(doc.get()), Owner{{}, std::make_shared<BlankRules>()}),
        doc_(std::move(doc)) {}
  void Adopt(const std::shared_ptr<MsDocument>& self) { owner_.doc = self; }
  IXMLDOMDocument* Doc() const { return doc_.get(); }

  DOMNode createElement(const std::u16string& name) override {
    Com<IXMLDOMElement> e;
    Check(doc_->createElement(Bstr(name).get(), e.out()));
    return WrapNode(Com<IXMLDOMNode>::Share(e.get()), owner_);
  }
  DOMNode createElementNS(const std::u16string& uri, const std::u16string& qualifiedName) override {
    Variant kind;
    V_VT(&kind.v) = VT_I4;
    V_I4(&kind.v) = NODE_ELEMENT;
    Com<IXMLDOMNode> n;
    Check(doc_->createNode(kind.v, Bstr(qualifiedName).get(), Bstr(uri).get(), n.out()));
    return WrapNode(std::move(n), owner_);
  }
  DOMNode createAttribute(const std::u16string& name) override {
    Com<IXMLDOMAttribute> a;
    Check(doc_->createAttribute(Bstr(name).get(), a.out()));
    return WrapNode(Com<IXMLDOMNode>::Share(a.get()), owner_);
  }
  DOMNode createTextNode(const std::u16string& data) override {
    Com<IXMLDOMText> t;
    Check(doc_->createTextNode(Bstr(data).get(), t.out()));
    Com<IXMLDOMNode> n = Com<IXMLDOMNode>::Share(t.get());
    owner_.rules->created.push_back(n);
    return WrapNode(std::move(n), owner_);
  }

  void setParseSettings(const DOMParseSettings& s) override { settings_ = s; }

  bool loadFile(const std::u16string& fileName) override {
    if (!AdmitFile(fileName)) return false;
    Variant source;
    V_VT(&source.v) = VT_BSTR;
    V_BSTR(&source.v) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(fileName.data()), UINT(fileName.size()));
    if (!V_BSTR(&source.v)) throw DOMException("Out of memory");
    if (Load([&](VARIANT_BOOL* ok) { return doc_->load(source.v, ok); })) return true;
    return WineFallback([&] { return platform::ReadWholeFile(fileName); });
  }
  bool loadBytes(const std::string& bytes) override {
    if (std::int64_t(bytes.size()) > platform::kMaxBookText) return TooLarge();
    MarkupScan scan;
    if (!scan.Feed(bytes.data(), bytes.size())) return Refused(scan);
    if (LoadStream(bytes)) return true;
    return WineFallback([&] { return bytes; });
  }
  bool LoadStream(const std::string& bytes) {
    if (bytes.size() > UINT_MAX) throw DOMException("The document is too large");
    Com<IStream> stream = MemoryStream(bytes);
    Variant source;
    V_VT(&source.v) = VT_UNKNOWN;
    V_UNKNOWN(&source.v) = stream.get();
    stream->AddRef();
    return Load([&](VARIANT_BOOL* ok) { return doc_->load(source.v, ok); });
  }
  bool loadText(const std::u16string& text) override {
    if (std::int64_t(text.size()) > platform::kMaxBookText) return TooLarge();
    MarkupScan scan;
    if (!scan.Feed(text.data(), text.size())) return Refused(scan);
    Bstr b(text);
    return Load([&](VARIANT_BOOL* ok) { return doc_->loadXML(b.get(), ok); });
  }
  const DOMParseError& parseError() const override { return error_; }

  std::string saveBytes() override {
    Com<IStream> stream = MemoryStream({});
    Variant target;
    V_VT(&target.v) = VT_UNKNOWN;
    V_UNKNOWN(&target.v) = stream.get();
    stream->AddRef();
    HRESULT hr = doc_->save(target.v);
    if (FAILED(hr) && platform::RunningUnderWine()) {
      // Wine cannot write some encodings Windows has (KOI8-R): serialise to 16 bits
      // and encode here.
      return wine::ToDeclaredEncoding(platform::WideToUtf8(xml()), wine::DeclaredEncoding(doc_.get()));
    }
    Check(hr);
    STATSTG st{};
    Check(stream->Stat(&st, STATFLAG_NONAME));
    if (st.cbSize.QuadPart > UINT_MAX) throw DOMException("The document is too large");
    std::string out(size_t(st.cbSize.QuadPart), '\0');
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    Check(stream->Seek(zero, STREAM_SEEK_SET, nullptr));
    ULONG got = 0;
    if (!out.empty()) Check(stream->Read(out.data(), ULONG(out.size()), &got));
    out.resize(got);
    // Wine writes UTF-8 whatever the declaration says; bring the bytes to the declared encoding.
    if (platform::RunningUnderWine()) out = wine::ToDeclaredEncoding(out, wine::DeclaredEncoding(doc_.get()));
    return out;
  }
  std::u16string xml() override {
    Bstr b;
    Check(doc_->get_xml(b.out()));
    return b.str();
  }

 private:
  // What MSXML would take quadratic time over, and a book past the text bound,
  // fail before the parser starts, as with the libxml2 back-end.
  bool TooLarge() {
    error_ = DOMParseError{u"The document is too large", 0, u""};
    return false;
  }
  bool Refused(const MarkupScan& scan) {
    error_ = DOMParseError{SysToWide(scan.Reason()), scan.Line(), u""};
    return false;
  }
  // The file is scanned a piece at a time; what cannot be read is left to MSXML to report.
  bool AdmitFile(const std::u16string& fileName) {
    try {
      platform::File file = platform::File::Open(fileName, platform::OpenMode::Read, platform::shareRead);
      if (file.Size() > platform::kMaxBookText) return TooLarge();
      MarkupScan scan;
      std::string buffer(size_t(1) << 16, '\0');
      std::int64_t total = 0;
      for (size_t n; (n = file.Read(&buffer[0], buffer.size())) > 0;) {
        total += std::int64_t(n);
        if (total > platform::kMaxBookText) return TooLarge();
        if (!scan.Feed(buffer.data(), n)) return Refused(scan);
      }
    } catch (const Exception&) {
    }
    return true;
  }

  static Com<IStream> MemoryStream(const std::string& bytes) {
    HGLOBAL mem = GlobalAlloc(GMEM_MOVEABLE, bytes.empty() ? 1 : bytes.size());
    if (!mem) throw DOMException("Out of memory");
    if (!bytes.empty()) {
      void* p = GlobalLock(mem);
      memcpy(p, bytes.data(), bytes.size());
      GlobalUnlock(mem);
    }
    Com<IStream> s;
    HRESULT hr = CreateStreamOnHGlobal(mem, TRUE, s.out());
    if (FAILED(hr)) {
      GlobalFree(mem);
      Fail(hr);
    }
    ULARGE_INTEGER size;
    size.QuadPart = bytes.size();
    Check(s->SetSize(size));
    return s;
  }

  // Wine's parser knows few 8-bit encodings (not KOI8-R, not CP866); where the
  // declaration names one Windows has, the text is decoded here and loaded as 16-bit text.
  template <class GetBytes>
  bool WineFallback(GetBytes get) {
    if (!platform::RunningUnderWine()) return false;
    DOMParseError first = error_;
    try {
      std::u16string text;
      if (wine::DecodeDeclared(get(), text)) {
        // Wine's parser rejects the name in the 16-bit text too: parse with the name
        // taken out, then give the declaration node its own text back.
        std::u16string decl, bare = wine::WithoutEncoding(text, &decl);
        if (!loadText(bare)) return false;  // the parse error of the decoded text stands
        wine::RestoreDeclaration(doc_.get(), decl);
        return true;
      }
    } catch (const Exception&) {
    }
    error_ = first;
    return false;
  }

  void ApplySettings() {
    Check(doc_->put_async(settings_.async ? VARIANT_TRUE : VARIANT_FALSE));
    // Blank text is always kept, for saving; the setting only decides whether reading sees it.
    Check(doc_->put_preserveWhiteSpace(VARIANT_TRUE));
    Check(doc_->put_resolveExternals(settings_.resolveExternals ? VARIANT_TRUE : VARIANT_FALSE));
    Check(doc_->put_validateOnParse(settings_.validate ? VARIANT_TRUE : VARIANT_FALSE));
  }

  template <class LoadCall>
  bool Load(LoadCall call) {
    ApplySettings();
    *owner_.rules = BlankRules{};
    owner_.rules->hide = !settings_.preserveWhiteSpace;
    error_ = DOMParseError{};
    VARIANT_BOOL ok = VARIANT_FALSE;
    HRESULT hr = call(&ok);
    if (SUCCEEDED(hr) && ok != VARIANT_FALSE) return true;
    Com<IXMLDOMParseError> e;
    if (SUCCEEDED(doc_->get_parseError(e.out())) && e) {
      Bstr reason, src;
      long line = 0;
      e->get_reason(reason.out());
      e->get_line(&line);
      e->get_srcText(src.out());
      error_.reason = Trimmed(reason.str());
      error_.line = int(line);
      error_.srcText = src.str();
    }
    // Wine answers a failure code instead of a parse error for some inputs (an empty one).
    if (error_.reason.empty() && FAILED(hr)) error_.reason = SysToWide(SystemText(hr));
    if (error_.reason.empty()) error_.reason = u"The document could not be loaded";
    return false;
  }

  Com<IXMLDOMDocument> doc_;
  DOMParseSettings settings_;
  DOMParseError error_;
};

DOMNode WrapNode(Com<IXMLDOMNode> node, const Owner& owner) {
  // The document node comes back as a document object, so its own calls stay reachable.
  DOMNodeType t = NODE_INVALID;
  if (SUCCEEDED(node->get_nodeType(&t)) && t == NODE_DOCUMENT) {
    Com<IXMLDOMDocument> d;
    if (SUCCEEDED(node->QueryInterface(kIID_IXMLDOMDocument, reinterpret_cast<void**>(d.out()))) && d)
      return WrapDocument(std::move(d));
  }
  return std::make_shared<MsNode>(std::move(node), owner);
}

DOMDocument WrapDocument(Com<IXMLDOMDocument> doc) {
  auto d = std::make_shared<MsDocument>(std::move(doc));
  d->Adopt(d);
  return d;
}

class MsImplementation : public IDOMImplementation {
 public:
  DOMDocument createDocument() override {
    EnsureCom();
    HRESULT last = REGDB_E_CLASSNOTREG;
    Com<IDispatch> object;
    for (const CLSID& cls : kDocumentClasses) {
      last = CoCreateInstance(cls, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, kIID_IDispatch,
                              reinterpret_cast<void**>(object.out()));
      if (SUCCEEDED(last) && object) break;
    }
    if (!object) throw EOleSysError(SystemText(last), int32_t(last));
    Com<IXMLDOMDocument> doc;
    if (FAILED(object->QueryInterface(kIID_IXMLDOMDocument, reinterpret_cast<void**>(doc.out()))) || !doc)
      throw DOMException("Microsoft MSXML is not installed");
    return WrapDocument(std::move(doc));
  }
};

}  // namespace

void RegisterPlatformDOM() { RegisterDOMVendor("MSXML", std::make_shared<MsImplementation>()); }

}  // namespace velarin::xml
