// The MSXML back-end of the DOM binding: the platform parser on Windows, reached through COM.
#include "xml/msxmldom.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <msxml2.h>

#include <climits>
#include <map>
#include <type_traits>
#include <utility>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "platform/win32/wine.h"
#include "xml/markupscan.h"
#include "xml/xmldom.h"

namespace velarin::xml {
namespace {

using platform::SysToWide;
using platform::WideToSys;

// The document classes, tried in this order: 4.0, 3.0, 2.6, version-independent.
const CLSID kDocumentClasses[] = {
    {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}},
    {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}},
    {0xF5078F1B, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}},
    {0x2933BF90, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}},
};
const IID kIID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMDocument = {0x2933BF81, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMElement = {0x2933BF86, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IXMLDOMAttribute = {0x2933BF85, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};
const IID kIID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIID_IDispatch = {0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// An owning interface pointer.
template <class T>
class Com {
 public:
  Com() = default;
  explicit Com(T* p) : p_(p) {}  // takes over a reference
  Com(const Com& o) : p_(o.p_) {
    if (p_) p_->AddRef();
  }
  Com(Com&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  Com& operator=(Com o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  ~Com() {
    if (p_) p_->Release();
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }
  T** out() {
    *this = Com();
    return &p_;
  }
  static Com Share(T* p) {
    if (p) p->AddRef();
    return Com(p);
  }

 private:
  T* p_ = nullptr;
};

// A BSTR that frees itself.
class Bstr {
 public:
  Bstr() = default;
  explicit Bstr(const std::u16string& s) {
    if (s.size() > UINT_MAX / 2) throw DOMException("Out of memory");
    b_ = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(s.data()), UINT(s.size()));
    if (!b_) throw DOMException("Out of memory");
  }
  explicit Bstr(const char16_t* s) : Bstr(std::u16string(s)) {}
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;
  ~Bstr() { SysFreeString(b_); }
  BSTR get() const { return b_; }
  BSTR* out() {
    SysFreeString(b_);
    b_ = nullptr;
    return &b_;
  }
  std::u16string str() const {
    return b_ ? std::u16string(reinterpret_cast<const char16_t*>(b_), SysStringLen(b_)) : std::u16string();
  }

 private:
  BSTR b_ = nullptr;
};

// A VARIANT that clears itself.
struct Variant {
  VARIANT v;
  Variant() { VariantInit(&v); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;
  ~Variant() { VariantClear(&v); }
};

std::u16string Trimmed(std::u16string s) {
  while (!s.empty() && (s.back() == u' ' || s.back() == u'\r' || s.back() == u'\n' || s.back() == u'\t'))
    s.pop_back();
  return s;
}

std::string SystemText(HRESULT hr) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, DWORD(hr), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::u16string s;
  if (n && text) s.assign(reinterpret_cast<const char16_t*>(text), n);
  if (text) LocalFree(text);
  s = Trimmed(s);
  while (!s.empty() && s.back() == u'.') s.pop_back();
  if (s.empty()) return Format("OLE error %.8lX", static_cast<unsigned long>(hr));
  return WideToSys(s);
}

// A failing call: the component's own description when it left one, else the system's text.
[[noreturn]] void Fail(HRESULT hr) {
  IErrorInfo* raw = nullptr;
  if (GetErrorInfo(0, &raw) == S_OK && raw) {
    Com<IErrorInfo> info(raw);
    Bstr description, source, helpFile;
    DWORD helpContext = 0;
    info->GetDescription(description.out());
    info->GetSource(source.out());
    info->GetHelpFile(helpFile.out());
    info->GetHelpContext(&helpContext);
    std::u16string d = Trimmed(description.str());
    if (!d.empty())
      throw EOleException(WideToSys(d), int32_t(hr), WideToSys(source.str()), WideToSys(helpFile.str()),
                          int(helpContext));
  }
  throw EOleException(SystemText(hr), int32_t(hr), "", "", 0);
}

void Check(HRESULT hr) {
  if (FAILED(hr)) Fail(hr);
}

// COM is started on each thread that reaches the parser, never inside the loader callback.
void EnsureCom() {
  thread_local bool started = false;
  if (started) return;
  HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  // S_FALSE: already started here; RPC_E_CHANGED_MODE: the host chose another apartment.
  if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) throw EOleSysError(SystemText(hr), int32_t(hr));
  started = true;
}

Com<IUnknown> Identity(IUnknown* p) {
  Com<IUnknown> u;
  if (p) p->QueryInterface(kIID_IUnknown, reinterpret_cast<void**>(u.out()));
  return u;
}

bool SameByProbe(IXMLDOMNode* a, IXMLDOMNode* b);

// The node's kind; NODE_INVALID when it cannot tell.
DOMNodeType KindOf(IXMLDOMNode* n) {
  DOMNodeType t = NODE_INVALID;
  Check(n->get_nodeType(&t));
  return t;
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

// A text or attribute node's value, "" for kinds without one.
std::u16string ValueOf(IXMLDOMNode* n) {
  Variant v;
  Check(n->get_nodeValue(&v.v));
  if (V_VT(&v.v) != VT_BSTR || !V_BSTR(&v.v)) return u"";
  return std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&v.v)), SysStringLen(V_BSTR(&v.v)));
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
    // Wine files an attribute made as "xml:space" outside the xml namespace: look by its written name.
    Com<IXMLDOMNamedNodeMap> map;
    long n = 0;
    if (FAILED(element->get_attributes(map.out())) || !map || FAILED(map->get_length(&n))) return u"";
    for (long i = 0; i < n; ++i) {
      Com<IXMLDOMNode> a;
      Bstr an;
      if (SUCCEEDED(map->get_item(i, a.out())) && a && SUCCEEDED(a->get_nodeName(an.out())) &&
          an.str() == u"xml:space")
        return ValueOf(a.get());
    }
    return u"";
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
      if (SameByProbe(child, c)) return true;
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

std::string EncodingInHead(const std::string& bytes);
UINT CodePageOf(const std::string& enc);
std::u16string WithoutEncoding(const std::u16string& text, std::u16string* decl);
std::string ToDeclaredEncoding(const std::string& utf8, const std::string& enc);

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
    if (hr == E_NOTIMPL) {
      // Wine lacks the call; the attribute map removes the same node by its name.
      Com<IXMLDOMNamedNodeMap> map;
      Check(node_->get_attributes(map.out()));
      if (!map) Fail(hr);
      Bstr name;
      Check(a->get_nodeName(name.out()));
      Com<IXMLDOMNode> removed;
      hr = map->removeNamedItem(name.get(), removed.out());
      if (hr == S_FALSE) hr = E_INVALIDARG;  // not an attribute of this element
    }
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
    return platform::RunningUnderWine() && SameByProbe(a, b);
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
    if (!platform::RunningUnderWine()) return;
    Com<IXMLDOMNode> p = Com<IXMLDOMNode>::Share(node_.get());
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
  // Wine's attribute map cannot hand out namespace declarations (the default one
  // fails, a prefixed one comes under the wrong index) and lists them last. The
  // element's start tag, written alone, tells the attributes in document order;
  // real attributes come from the map by name, declarations are made as
  // attribute nodes of the same name and value.
  DOMNodes WineAttributes() const {
    DOMNodes out;
    Com<IXMLDOMNode> shallow;
    Check(node_->cloneNode(VARIANT_FALSE, shallow.out()));
    Bstr text;
    Check(shallow->get_xml(text.out()));
    std::u16string tag = text.str();
    Com<IXMLDOMNamedNodeMap> map;
    Check(node_->get_attributes(map.out()));
    Com<IXMLDOMDocument> doc;
    Check(node_->get_ownerDocument(doc.out()));
    if (!map || !doc) return out;
    auto space = [](char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; };
    size_t i = 1;
    while (i < tag.size() && !space(tag[i]) && tag[i] != u'>' && tag[i] != u'/') ++i;  // element name
    for (;;) {
      while (i < tag.size() && space(tag[i])) ++i;
      if (i >= tag.size() || tag[i] == u'>' || tag[i] == u'/') break;
      size_t nameStart = i;
      while (i < tag.size() && tag[i] != u'=' && !space(tag[i])) ++i;
      std::u16string name = tag.substr(nameStart, i - nameStart);
      while (i < tag.size() && (space(tag[i]) || tag[i] == u'=')) ++i;
      if (i >= tag.size()) break;
      char16_t quote = tag[i++];
      size_t valueStart = i;
      while (i < tag.size() && tag[i] != quote) ++i;
      std::u16string raw = tag.substr(valueStart, i - valueStart);
      ++i;
      if (name == u"xmlns" || name.compare(0, 6, u"xmlns:") == 0) {
        Com<IXMLDOMAttribute> a;
        if (FAILED(doc->createAttribute(Bstr(name).get(), a.out())) || !a) continue;
        Variant v;
        V_VT(&v.v) = VT_BSTR;
        std::u16string value = Unescaped(raw);
        V_BSTR(&v.v) = SysAllocStringLen(reinterpret_cast<const OLECHAR*>(value.data()), UINT(value.size()));
        a->put_nodeValue(v.v);
        out.push_back(WrapNode(Com<IXMLDOMNode>::Share(a.get()), owner_));
      } else {
        Com<IXMLDOMNode> a;
        if (SUCCEEDED(map->getNamedItem(Bstr(name).get(), a.out())) && a)
          out.push_back(WrapNode(std::move(a), owner_));
      }
    }
    return out;
  }
  static std::u16string Unescaped(const std::u16string& raw) {
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
      std::u16string ref = raw.substr(i + 1, end - i - 1);
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
        out += raw.substr(i, end - i + 1);
      }
      i = end;
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
      return ToDeclaredEncoding(platform::WideToUtf8(xml()), DeclaredEncoding());
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
    if (platform::RunningUnderWine()) out = ToDeclaredEncoding(out, DeclaredEncoding());
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

  // The encoding the declaration node names, "" when there is none.
  std::string DeclaredEncoding() {
    Com<IXMLDOMNode> first;
    if (FAILED(doc_->get_firstChild(first.out())) || !first) return "";
    DOMNodeType t = NODE_INVALID;
    Bstr name;
    if (FAILED(first->get_nodeType(&t)) || t != NODE_PROCESSING_INSTRUCTION) return "";
    if (FAILED(first->get_nodeName(name.out())) || name.str() != u"xml") return "";
    Bstr text;
    if (FAILED(first->get_text(text.out()))) return "";
    std::u16string decl = text.str();
    size_t p = decl.find(u"encoding");
    if (p == std::u16string::npos) return "";
    size_t q = decl.find_first_of(u"\"'", p + 8);
    if (q == std::u16string::npos) return "";
    size_t e = decl.find(decl[q], q + 1);
    if (e == std::u16string::npos) return "";
    std::string enc;
    for (char16_t c : decl.substr(q + 1, e - q - 1)) enc.push_back(c < 0x80 ? char(c | (c >= 'A' && c <= 'Z' ? 0x20 : 0)) : '?');
    return enc;
  }

  // Wine's parser knows few 8-bit encodings (not KOI8-R, not CP866); where the
  // declaration names one Windows has, the text is decoded here and loaded as 16-bit text.
  template <class GetBytes>
  bool WineFallback(GetBytes get) {
    if (!platform::RunningUnderWine()) return false;
    DOMParseError first = error_;
    try {
      std::string bytes = get();
      UINT cp = CodePageOf(EncodingInHead(bytes));
      if (cp != 0 && bytes.size() < size_t(INT_MAX)) {
        int n = MultiByteToWideChar(cp, 0, bytes.data(), int(bytes.size()), nullptr, 0);
        if (n > 0) {
          std::u16string text(size_t(n), u'\0');
          MultiByteToWideChar(cp, 0, bytes.data(), int(bytes.size()), reinterpret_cast<wchar_t*>(text.data()), n);
          // Wine's parser rejects the name in the 16-bit text too: parse with the name
          // taken out, then give the declaration node its own text back.
          std::u16string decl, bare = WithoutEncoding(text, &decl);
          if (!loadText(bare)) return false;  // the parse error of the decoded text stands
          Com<IXMLDOMNode> first, replaced;
          Com<IXMLDOMProcessingInstruction> pi;
          if (!decl.empty() && SUCCEEDED(doc_->get_firstChild(first.out())) && first) {
            Check(doc_->createProcessingInstruction(Bstr(u"xml").get(), Bstr(decl).get(), pi.out()));
            Check(doc_->replaceChild(pi.get(), first.get(), replaced.out()));
          }
          return true;
        }
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

// The encoding an 8-bit document's declaration names, lower-cased; "" for none.
std::string EncodingInHead(const std::string& bytes) {
  std::string head = bytes.substr(0, 512);
  if (head.compare(0, 5, "<?xml") != 0) return "";
  size_t end = head.find("?>");
  size_t p = head.find("encoding");
  if (end == std::string::npos || p == std::string::npos || p > end) return "";
  size_t q = head.find_first_of("\"'", p + 8);
  if (q == std::string::npos || q > end) return "";
  size_t e = head.find(head[q], q + 1);
  if (e == std::string::npos || e > end) return "";
  std::string enc = head.substr(q + 1, e - q - 1);
  for (char& c : enc)
    if (c >= 'A' && c <= 'Z') c = char(c + 32);
  return enc;
}

// text with the encoding pseudo-attribute dropped from its declaration; decl gets
// the declaration's own text (between "<?xml " and "?>").
std::u16string WithoutEncoding(const std::u16string& text, std::u16string* decl) {
  decl->clear();
  if (text.compare(0, 6, u"<?xml ") != 0) return text;
  size_t end = text.find(u"?>");
  size_t p = text.find(u"encoding");
  if (end == std::u16string::npos || p == std::u16string::npos || p > end) return text;
  size_t q = text.find_first_of(u"\"'", p);
  if (q == std::u16string::npos || q > end) return text;
  size_t e = text.find(text[q], q + 1);
  if (e == std::u16string::npos || e > end) return text;
  size_t from = p;
  while (from > 6 && (text[from - 1] == u' ' || text[from - 1] == u'\t')) --from;
  *decl = text.substr(6, end - 6);
  while (!decl->empty() && (decl->back() == u' ' || decl->back() == u'\t')) decl->pop_back();
  return text.substr(0, from) + text.substr(e + 1);
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

// UTF-8 serialisation to the declared encoding; characters the encoding lacks
// become character references.
std::string ToDeclaredEncoding(const std::string& utf8, const std::string& enc) {
  if (enc.empty() || enc == "utf-8" || enc == "utf8") return utf8;
  std::u16string text = platform::Utf8ToWide(utf8);
  if (enc == "utf-16" || enc == "utf-16le" || enc == "ucs-2") {
    std::string out = "\xFF\xFE";
    for (char16_t c : text) {
      out.push_back(char(c & 0xFF));
      out.push_back(char(c >> 8));
    }
    return out;
  }
  UINT cp = CodePageOf(enc);
  if (cp == 0) throw DOMException(Format("Cannot save in the encoding \"%s\"", enc.c_str()));
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t n = (text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size()) ? 2 : 1;
    if (text[i] < 0x80) {
      out.push_back(char(text[i]));
    } else {
      char buf[8];
      BOOL usedDefault = FALSE;
      int k = WideCharToMultiByte(cp, WC_NO_BEST_FIT_CHARS, reinterpret_cast<const wchar_t*>(&text[i]), int(n), buf,
                                  sizeof buf, nullptr, &usedDefault);
      if (k > 0 && !usedDefault) {
        out.append(buf, size_t(k));
      } else {
        char32_t v = n == 2 ? 0x10000 + ((char32_t(text[i]) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00)
                            : char32_t(text[i]);
        out += Format("&#%lu;", static_cast<unsigned long>(v));
      }
    }
    i += n;
  }
  return out;
}

// Whether two objects stand for the same node: a mark set through one must show
// through the other. The mark is taken away again at once.
bool SameByProbe(IXMLDOMNode* a, IXMLDOMNode* b) {
  static unsigned counter = 0;
  try {
    DOMNodeType ta = NODE_INVALID, tb = NODE_INVALID;
    Check(a->get_nodeType(&ta));
    Check(b->get_nodeType(&tb));
    if (ta != tb) return false;
    Bstr na, nb;
    Check(a->get_nodeName(na.out()));
    Check(b->get_nodeName(nb.out()));
    if (na.str() != nb.str()) return false;
    std::u16string mark = u"velarin-probe-";
    for (unsigned v = ++counter; v; v /= 10) mark.push_back(char16_t(u'0' + v % 10));
    Bstr markText(mark);
    switch (ta) {
      case NODE_ELEMENT: {
        Com<IXMLDOMElement> ea, eb;
        Check(a->QueryInterface(kIID_IXMLDOMElement, reinterpret_cast<void**>(ea.out())));
        Check(b->QueryInterface(kIID_IXMLDOMElement, reinterpret_cast<void**>(eb.out())));
        Bstr name(u"velarin-probe");
        Variant value, seen;
        V_VT(&value.v) = VT_BSTR;
        V_BSTR(&value.v) = SysAllocString(markText.get());
        Check(ea->setAttribute(name.get(), value.v));
        HRESULT hr = eb->getAttribute(name.get(), &seen.v);
        ea->removeAttribute(name.get());
        return hr == S_OK && V_VT(&seen.v) == VT_BSTR &&
               std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&seen.v))) == mark;
      }
      case NODE_TEXT:
      case NODE_CDATA_SECTION:
      case NODE_COMMENT:
      case NODE_PROCESSING_INSTRUCTION:
      case NODE_ATTRIBUTE: {
        Variant old, probe, seen;
        Check(a->get_nodeValue(&old.v));
        V_VT(&probe.v) = VT_BSTR;
        V_BSTR(&probe.v) = SysAllocString(markText.get());
        Check(a->put_nodeValue(probe.v));
        HRESULT hr = b->get_nodeValue(&seen.v);
        a->put_nodeValue(old.v);
        return SUCCEEDED(hr) && V_VT(&seen.v) == VT_BSTR &&
               std::u16string(reinterpret_cast<const char16_t*>(V_BSTR(&seen.v))) == mark;
      }
      case NODE_DOCUMENT: {
        Com<IXMLDOMDocument> da;
        Check(a->QueryInterface(kIID_IXMLDOMDocument, reinterpret_cast<void**>(da.out())));
        Com<IXMLDOMComment> c;
        Check(da->createComment(markText.get(), c.out()));
        Com<IXMLDOMNode> added, last, removed;
        Check(a->appendChild(c.get(), added.out()));
        HRESULT hr = b->get_lastChild(last.out());
        Bstr seen;
        if (SUCCEEDED(hr) && last) last->get_text(seen.out());
        a->removeChild(added.get(), removed.out());
        return seen.str() == mark;
      }
      default:
        return false;
    }
  } catch (const Exception&) {
    return false;
  }
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
