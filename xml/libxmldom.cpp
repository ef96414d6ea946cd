// The libxml2 back-end of the DOM binding: the platform parser on Linux.
#include <libxml/SAX2.h>
#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlsave.h>

#include <algorithm>
#include <climits>
#include <functional>
#include <cstring>
#include <unordered_set>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "xml/libxmldom.h"
#include "xml/markupscan.h"
#include "xml/textlength.h"
#include "xml/xmldecl.h"
#include "xml/xmldom.h"

namespace velarin::xml {
namespace {

using platform::Utf8ToWide;
using platform::WideToUtf8;

const xmlChar* X(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }
std::u16string W(const xmlChar* s) {
  return s ? Utf8ToWide(reinterpret_cast<const char*>(s)) : std::u16string();
}

const char kXmlnsURI[] = "http://www.w3.org/2000/xmlns/";

// Owns one libxml2 tree and every node that was made for it or taken out of
// it, so that references handed out stay valid until the last one goes.
struct Tree {
  xmlDocPtr doc = nullptr;
  std::unordered_set<xmlNodePtr> orphans;  // unlinked nodes and attributes
  std::unordered_set<xmlNodePtr> ownNs;    // elements carrying a declaration made at creation

  std::weak_ptr<IDOMDocument> owner;      // the document object whose tree this is

  explicit Tree(xmlDocPtr d) : doc(d) {}
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
  ~Tree() {
    // Orphans first: freeing a node consults its document's dictionary.
    for (xmlNodePtr n : orphans) {
      if (n->type == XML_ATTRIBUTE_NODE)
        xmlFreeProp(reinterpret_cast<xmlAttrPtr>(n));
      else
        xmlFreeNode(n);
    }
    if (doc) xmlFreeDoc(doc);
  }
};
using TreeRef = std::shared_ptr<Tree>;

// Owners of what libxml2 hands out, so that every path frees it.
struct DocFree {
  void operator()(xmlDocPtr d) const { xmlFreeDoc(d); }
};
using DocHolder = std::unique_ptr<xmlDoc, DocFree>;
struct ParserFree {
  void operator()(xmlParserCtxtPtr c) const {
    if (c->myDoc) xmlFreeDoc(c->myDoc);
    c->myDoc = nullptr;
    xmlFreeParserCtxt(c);
  }
};
using ParserHolder = std::unique_ptr<xmlParserCtxt, ParserFree>;
struct StringFree {
  void operator()(xmlChar* s) const { xmlFree(s); }
};
using StringHolder = std::unique_ptr<xmlChar, StringFree>;

// Blank text the parser kept between elements: saved with the tree, never shown to readers.
char kHiddenBlankMark;
void MarkHidden(xmlNodePtr n) { n->_private = &kHiddenBlankMark; }
bool IsHidden(const xmlNode* n) { return n->type == XML_TEXT_NODE && n->_private == &kHiddenBlankMark; }

class LibxmlDocument;

// One libxml2 node, or one namespace declaration shown as an xmlns attribute.
class LibxmlNode : public IDOMNode {
 public:
  LibxmlNode(TreeRef tree, xmlNodePtr node) : tree_(std::move(tree)), node_(node) {}
  LibxmlNode(TreeRef tree, xmlNodePtr owner, xmlNsPtr ns) : tree_(std::move(tree)), node_(owner), nsDecl_(ns) {}

  std::u16string nodeName() const override;
  std::u16string localName() const override;
  std::u16string namespaceURI() const override;
  std::u16string prefix() const override;
  int nodeType() const override;
  std::u16string nodeValue() const override;
  void setNodeValue(const std::u16string& value) override;
  DOMNodes childNodes() const override;
  bool hasAttributeMap() const override { return !nsDecl_ && node_->type == XML_ELEMENT_NODE; }
  DOMNodes attributes() const override;
  bool hasChildNodes() const override;
  DOMDocument ownerDocument() const override;
  DOMNode insertBefore(const DOMNode& newChild, const DOMNode& refChild) override;
  DOMNode appendChild(const DOMNode& newChild) override;
  DOMNode removeChild(const DOMNode& child) override;
  DOMNode setAttributeNode(const DOMNode& attr) override;
  DOMNode removeAttributeNode(const DOMNode& attr) override;
  bool isSameNode(const IDOMNode& other) const override;
  std::int64_t plainTextLength() const override;

  xmlNodePtr Raw() const { return node_; }
  bool IsNsDecl() const { return nsDecl_ != nullptr; }
  const TreeRef& TreeOf() const { return tree_; }

 protected:
  DOMNode Wrap(xmlNodePtr n) const { return std::make_shared<LibxmlNode>(tree_, n); }
  LibxmlNode& Own(const DOMNode& n, const char* what) const;
  bool HoldsChildren() const {
    switch (node_->type) {
      case XML_ELEMENT_NODE:
      case XML_DOCUMENT_NODE:
      case XML_DOCUMENT_FRAG_NODE:
        return true;
      default:
        return false;
    }
  }
  void Link(xmlNodePtr child, xmlNodePtr before);
  // Links a child where the layer asked, keeping the blanks around it right.
  void Place(xmlNodePtr child, xmlNodePtr before);

  TreeRef tree_;
  xmlNodePtr node_;
  xmlNsPtr nsDecl_ = nullptr;
};

std::u16string Qualified(const xmlNs* ns, const xmlChar* name) {
  if (ns && ns->prefix) {
    std::string s = reinterpret_cast<const char*>(ns->prefix);
    s += ':';
    s += reinterpret_cast<const char*>(name);
    return Utf8ToWide(s);
  }
  return W(name);
}

std::u16string LibxmlNode::nodeName() const {
  if (nsDecl_) return nsDecl_->prefix ? u"xmlns:" + W(nsDecl_->prefix) : u"xmlns";
  switch (node_->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
      return Qualified(node_->ns, node_->name);
    case XML_TEXT_NODE:
      return u"#text";
    case XML_CDATA_SECTION_NODE:
      return u"#cdata-section";
    case XML_COMMENT_NODE:
      return u"#comment";
    case XML_DOCUMENT_NODE:
    case XML_HTML_DOCUMENT_NODE:
      return u"#document";
    case XML_DOCUMENT_FRAG_NODE:
      return u"#document-fragment";
    default:
      return W(node_->name);
  }
}

std::u16string LibxmlNode::localName() const {
  if (nsDecl_) return nsDecl_->prefix ? W(nsDecl_->prefix) : u"xmlns";
  switch (node_->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE: {
      // A name made without a namespace may still carry a prefix of its own.
      std::u16string n = W(node_->name);
      if (!node_->ns) {
        size_t colon = n.find(u':');
        if (colon != std::u16string::npos) return n.substr(colon + 1);
      }
      return n;
    }
    case XML_PI_NODE:
    case XML_ENTITY_REF_NODE:
      return W(node_->name);
    default:
      return u"";
  }
}

std::u16string LibxmlNode::namespaceURI() const {
  if (nsDecl_) return Utf8ToWide(kXmlnsURI);
  if ((node_->type == XML_ELEMENT_NODE || node_->type == XML_ATTRIBUTE_NODE) && node_->ns)
    return W(node_->ns->href);
  return u"";
}

std::u16string LibxmlNode::prefix() const {
  if (nsDecl_) return nsDecl_->prefix ? u"xmlns" : u"";
  if ((node_->type == XML_ELEMENT_NODE || node_->type == XML_ATTRIBUTE_NODE)) {
    if (node_->ns) return W(node_->ns->prefix);
    std::u16string n = W(node_->name);
    size_t colon = n.find(u':');
    if (colon != std::u16string::npos) return n.substr(0, colon);
  }
  return u"";
}

int LibxmlNode::nodeType() const {
  if (nsDecl_) return nkAttribute;
  switch (node_->type) {
    case XML_DTD_NODE:
    case XML_DOCUMENT_TYPE_NODE:
      return nkDocType;
    case XML_HTML_DOCUMENT_NODE:
      return nkDocument;
    default:
      return int(node_->type) <= nkNotation ? int(node_->type) : 0;
  }
}

std::u16string LibxmlNode::nodeValue() const {
  if (nsDecl_) return W(nsDecl_->href);
  switch (node_->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      return W(node_->content);
    case XML_ATTRIBUTE_NODE: {
      // the usual single text child is read in place: a long value is not copied twice
      const xmlNodePtr text = node_->children;
      if (text && !text->next && text->type == XML_TEXT_NODE) return W(text->content);
      StringHolder v(xmlNodeGetContent(node_));
      return W(v.get());
    }
    default:
      return u"";
  }
}

void LibxmlNode::setNodeValue(const std::u16string& value) {
  std::string v = WideToUtf8(value);
  if (nsDecl_) throw DOMException("Namespace declarations cannot be changed");
  switch (node_->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      xmlNodeSetContent(node_, X(v));
      return;
    case XML_ATTRIBUTE_NODE: {
      // The value is literal text: no entity references are read into it.
      xmlNodePtr text = xmlNewDocText(node_->doc, X(v));
      if (!text) throw DOMException("Out of memory");
      xmlFreeNodeList(node_->children);
      node_->children = node_->last = text;
      text->parent = node_;
      return;
    }
    default:
      throw DOMException("This operation can not be performed with a Node of this type");
  }
}

DOMNodes LibxmlNode::childNodes() const {
  DOMNodes out;
  // Entity references share their entity's content: not this node's to hand out.
  if (nsDecl_ || node_->type == XML_ENTITY_REF_NODE) return out;
  size_t n = 0;
  for (xmlNodePtr c = node_->children; c; c = c->next) n += !IsHidden(c);
  out.reserve(n);
  for (xmlNodePtr c = node_->children; c; c = c->next)
    if (!IsHidden(c)) out.push_back(Wrap(c));
  return out;
}

DOMNodes LibxmlNode::attributes() const {
  DOMNodes out;
  if (!hasAttributeMap()) return out;
  for (xmlNsPtr ns = node_->nsDef; ns; ns = ns->next)
    out.push_back(std::make_shared<LibxmlNode>(tree_, node_, ns));
  for (xmlAttrPtr a = node_->properties; a; a = a->next)
    out.push_back(Wrap(reinterpret_cast<xmlNodePtr>(a)));
  return out;
}

bool LibxmlNode::hasChildNodes() const {
  if (nsDecl_ || node_->type == XML_ENTITY_REF_NODE) return false;
  for (xmlNodePtr c = node_->children; c; c = c->next)
    if (!IsHidden(c)) return true;
  return false;
}

LibxmlNode& LibxmlNode::Own(const DOMNode& n, const char* what) const {
  auto* p = dynamic_cast<LibxmlNode*>(n.get());
  if (!p) throw DOMException(Format("%s: node required", what));
  if (p->tree_ != tree_) throw DOMException("The node belongs to another document");
  if (p->nsDecl_) throw DOMException("Namespace declarations cannot be moved");
  return *p;
}

bool LibxmlNode::isSameNode(const IDOMNode& other) const {
  auto* o = dynamic_cast<const LibxmlNode*>(&other);
  return o && o->node_ == node_ && o->nsDecl_ == nsDecl_;
}

// The first child, or the next sibling, that readers see.
xmlNodePtr Visible(xmlNodePtr n) {
  while (n && IsHidden(n)) n = n->next;
  return n;
}

std::int64_t LibxmlNode::plainTextLength() const {
  if (nsDecl_) return 0;
  // The tree walked in place, without node references, and without recursion.
  std::int64_t total = 0;
  std::vector<xmlNodePtr> pending{node_};
  while (!pending.empty()) {
    xmlNodePtr n = pending.back();
    pending.pop_back();
    if (n->type == XML_ENTITY_REF_NODE || n->type == XML_ATTRIBUTE_NODE) continue;
    xmlNodePtr first = Visible(n->children);
    if (!first) continue;
    if (n->type == XML_ELEMENT_NODE && first->type == XML_TEXT_NODE && !Visible(first->next)) {
      total += Utf16Length(reinterpret_cast<const char*>(first->content));
      continue;
    }
    for (xmlNodePtr c = n->last; c; c = c->prev)
      if (c->children && c->type != XML_ENTITY_REF_NODE) pending.push_back(c);
  }
  return total;
}

// Points an element made with a declaration of its own at the same declaration
// in scope at its new place, and drops its own, so no xmlns attribute is added.
void AdoptInScopeNamespace(Tree& tree, xmlNodePtr node) {
  if (node->type != XML_ELEMENT_NODE) return;
  auto it = tree.ownNs.find(node);
  if (it == tree.ownNs.end()) return;
  xmlNsPtr own = node->nsDef;
  if (!own || !node->parent || own->next) return;
  xmlNsPtr inScope = xmlSearchNs(tree.doc, node->parent, own->prefix);
  if (!inScope || !xmlStrEqual(inScope->href, own->href)) return;
  // Retarget this element and everything below it that uses the declaration.
  std::vector<xmlNodePtr> stack{node};
  while (!stack.empty()) {
    xmlNodePtr n = stack.back();
    stack.pop_back();
    if (n->type != XML_ELEMENT_NODE) continue;
    if (n->ns == own) n->ns = inScope;
    for (xmlAttrPtr a = n->properties; a; a = a->next)
      if (a->ns == own) a->ns = inScope;
    for (xmlNodePtr c = n->children; c; c = c->next) stack.push_back(c);
  }
  node->nsDef = nullptr;
  xmlFreeNs(own);
  tree.ownNs.erase(it);
}

void LibxmlNode::Link(xmlNodePtr child, xmlNodePtr before) {
  if (!HoldsChildren()) throw DOMException("This node type does not allow children");
  if (child->type == XML_ATTRIBUTE_NODE || child->type == XML_DOCUMENT_NODE)
    throw DOMException("Insert of this node type is not allowed");
  for (xmlNodePtr a = node_; a; a = a->parent)
    if (a == child) throw DOMException("The new child is an ancestor of this node");
  if (child == before) return;
  // Linked by hand: xmlAddChild would merge adjacent text nodes and free one
  // that a reference still points to.
  if (child->parent || child->prev || child->next) xmlUnlinkNode(child);
  tree_->orphans.erase(child);
  child->parent = node_;
  if (before) {
    child->next = before;
    child->prev = before->prev;
    if (before->prev)
      before->prev->next = child;
    else
      node_->children = child;
    before->prev = child;
  } else {
    child->prev = node_->last;
    child->next = nullptr;
    if (node_->last)
      node_->last->next = child;
    else
      node_->children = child;
    node_->last = child;
  }
  AdoptInScopeNamespace(*tree_, child);
}

// A hidden copy of a blank, for the indentation of a new sibling.
xmlNodePtr CopyBlank(xmlNodePtr blank) {
  xmlNodePtr copy = xmlNewDocText(blank->doc, blank->content);
  if (!copy) throw DOMException("Out of memory");
  MarkHidden(copy);
  return copy;
}

bool IsCharacterData(const xmlNode* n) {
  return n && (n->type == XML_CDATA_SECTION_NODE || (n->type == XML_TEXT_NODE && !IsHidden(n)));
}

// prev and next have just become neighbours. Hidden blanks that touch text
// would read back as part of it, so those runs go.
void DropBlanksBeside(xmlNodePtr prev, xmlNodePtr next) {
  auto drop = [](xmlNodePtr n) {
    xmlUnlinkNode(n);
    xmlFreeNode(n);
  };
  if (IsCharacterData(prev))
    while (next && IsHidden(next)) {
      xmlNodePtr after = next->next;
      drop(next);
      next = after;
    }
  if (IsCharacterData(next))
    while (prev && IsHidden(prev)) {
      xmlNodePtr before = prev->prev;
      drop(prev);
      prev = before;
    }
}

void LibxmlNode::Place(xmlNodePtr child, xmlNodePtr before) {
  if (child->type == XML_TEXT_NODE || child->type == XML_CDATA_SECTION_NODE) {
    Link(child, before);
    DropBlanksBeside(child->prev, child);
    DropBlanksBeside(child, child->next);
    return;
  }
  if (before) {
    // B new B' ref: the new node takes the indentation its siblings have
    if (before->prev && IsHidden(before->prev) && before->prev != child) {
      xmlNodePtr copy = CopyBlank(before->prev);
      Link(child, before);
      Link(copy, before);
      return;
    }
    Link(child, before);
    return;
  }
  // Appended: before the trailing blank, after a copy of the last sibling's indentation.
  xmlNodePtr trailing = node_->last && IsHidden(node_->last) && node_->last != child ? node_->last : nullptr;
  xmlNodePtr lastSeen = trailing ? trailing->prev : node_->last;
  xmlNodePtr indent = lastSeen && lastSeen != child && lastSeen->prev && IsHidden(lastSeen->prev) ? lastSeen->prev : nullptr;
  if (indent) Link(CopyBlank(indent), trailing);
  Link(child, trailing);
}

DOMNode LibxmlNode::insertBefore(const DOMNode& newChild, const DOMNode& refChild) {
  if (!refChild) throw DOMException("Node cannot be null");
  LibxmlNode& c = Own(newChild, "insertBefore");
  LibxmlNode& r = Own(refChild, "insertBefore");
  if (r.node_->parent != node_) throw DOMException("The reference node is not a child of this node");
  Place(c.node_, r.node_);
  return newChild;
}

DOMNode LibxmlNode::appendChild(const DOMNode& newChild) {
  LibxmlNode& c = Own(newChild, "appendChild");
  Place(c.node_, nullptr);
  return newChild;
}

DOMNode LibxmlNode::removeChild(const DOMNode& child) {
  LibxmlNode& c = Own(child, "removeChild");
  if (c.node_->parent != node_ || c.node_->type == XML_ATTRIBUTE_NODE)
    throw DOMException("The node is not a child of this node");
  tree_->orphans.reserve(tree_->orphans.size() + 1);
  // The blank in front goes along, so no empty line is left.
  xmlNodePtr prev = c.node_->prev;
  xmlNodePtr next = c.node_->next;
  if (prev && IsHidden(prev)) {
    xmlNodePtr before = prev->prev;
    xmlUnlinkNode(prev);
    xmlFreeNode(prev);
    prev = before;
  }
  xmlUnlinkNode(c.node_);
  tree_->orphans.insert(c.node_);
  DropBlanksBeside(prev, next);
  return child;
}

DOMNode LibxmlNode::setAttributeNode(const DOMNode& attr) {
  if (!hasAttributeMap()) throw DOMException("Attributes are not supported on this node type");
  LibxmlNode& a = Own(attr, "setAttributeNode");
  auto* raw = reinterpret_cast<xmlAttrPtr>(a.node_);
  if (a.node_->type != XML_ATTRIBUTE_NODE) throw DOMException("An attribute node is required");
  if (a.node_->parent == node_) return attr;
  if (a.node_->parent) throw DOMException("The attribute is in use by another element");
  DOMNode replaced;
  for (xmlAttrPtr p = node_->properties; p; p = p->next) {
    bool sameNs = (p->ns == nullptr) == (raw->ns == nullptr) &&
                  (!p->ns || xmlStrEqual(p->ns->href, raw->ns->href));
    if (sameNs && xmlStrEqual(p->name, raw->name)) {
      xmlUnlinkNode(reinterpret_cast<xmlNodePtr>(p));
      tree_->orphans.insert(reinterpret_cast<xmlNodePtr>(p));
      replaced = Wrap(reinterpret_cast<xmlNodePtr>(p));
      break;
    }
  }
  tree_->orphans.erase(a.node_);
  raw->parent = node_;
  raw->next = nullptr;
  raw->prev = nullptr;
  if (!node_->properties) {
    node_->properties = raw;
  } else {
    xmlAttrPtr last = node_->properties;
    while (last->next) last = last->next;
    last->next = raw;
    raw->prev = last;
  }
  return replaced;
}

DOMNode LibxmlNode::removeAttributeNode(const DOMNode& attr) {
  LibxmlNode& a = Own(attr, "removeAttributeNode");
  if (a.node_->type != XML_ATTRIBUTE_NODE || a.node_->parent != node_)
    throw DOMException("The attribute is not an attribute of this element");
  xmlUnlinkNode(a.node_);
  tree_->orphans.insert(a.node_);
  return attr;
}

bool IsBlank(const xmlChar* s, size_t len) {
  for (size_t i = 0; i < len; ++i)
    if (s[i] != ' ' && s[i] != '\t' && s[i] != '\r' && s[i] != '\n') return false;
  return true;
}

// Per-parse state reached from the SAX hooks.
struct ParseState {
  bool haveError = false;
  DOMParseError error;
  // A failure inside a hook: the parser is stopped and it is raised once the
  // parser has returned, so no exception unwinds through libxml2's frames.
  std::exception_ptr failure;
  // Blank text between elements is kept in the tree for saving and marked
  // hidden, so that readers see the tree without it.
  bool hideBlanks = true;
  bool inText = false;         // a run of character data is open
  bool runBlank = false;       // and has been only blanks so far
  std::vector<bool> preserve;  // xml:space="preserve" in force, per open element
  bool entities = false;       // the DTD declared entities: expansion limits apply
  std::uint32_t defaults = 0;  // attribute defaults the DTD declared
  MarkupScan* scan = nullptr;  // the scan of the bytes, told of them
};

xmlParserCtxtPtr CtxtOf(void* ctx) { return static_cast<xmlParserCtxtPtr>(ctx); }
ParseState& StateOf(void* ctx) { return *static_cast<ParseState*>(CtxtOf(ctx)->_private); }

// Runs a hook's work; anything it throws stops the parser and waits in the state.
template <class Work>
void Guarded(void* ctx, Work&& work) noexcept {
  ParseState& st = StateOf(ctx);
  if (st.failure) return;
  try {
    work(st);
  } catch (...) {
    st.failure = std::current_exception();
    xmlStopParser(CtxtOf(ctx));
  }
}

// Markup ends a run of character data; a run of blanks outside xml:space="preserve"
// becomes a hidden text node.
void EndText(void* ctx, ParseState& st) {
  if (st.inText && st.runBlank && st.hideBlanks && (st.preserve.empty() || !st.preserve.back())) {
    xmlNodePtr parent = CtxtOf(ctx)->node;
    xmlNodePtr last = parent ? parent->last : nullptr;
    if (last && last->type == XML_TEXT_NODE) MarkHidden(last);
  }
  st.inText = false;
}

// Text nodes over the parser's 10 MB limit (embedded images) are accepted even
// where declared entities have switched the parser's limits back on.
template <class Add>
void AddText(void* ctx, Add&& add) {
  xmlParserCtxtPtr ctxt = CtxtOf(ctx);
  const int options = ctxt->options;
  ctxt->options |= XML_PARSE_HUGE;
  add();
  ctxt->options = options;
}

void OnCharacters(void* ctx, const xmlChar* ch, int len) {
  Guarded(ctx, [&](ParseState& st) {
    if (!st.inText) {
      st.inText = true;
      st.runBlank = true;
    }
    if (st.runBlank && !IsBlank(ch, size_t(len))) st.runBlank = false;
    AddText(ctx, [&] { xmlSAX2Characters(ctx, ch, len); });
  });
}

void OnStartElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* URI,
                    int nbNamespaces, const xmlChar** namespaces, int nbAttributes, int nbDefaulted,
                    const xmlChar** attributes) {
  Guarded(ctx, [&](ParseState& st) {
    EndText(ctx, st);
    bool preserve = !st.preserve.empty() && st.preserve.back();
    // attributes come in fives: local name, prefix, URI, value start, value end
    for (int i = 0; i < nbAttributes; ++i) {
      const xmlChar** a = attributes + 5 * i;
      if (a[1] && xmlStrEqual(a[1], BAD_CAST "xml") && xmlStrEqual(a[0], BAD_CAST "space")) {
        std::string v(reinterpret_cast<const char*>(a[3]), size_t(a[4] - a[3]));
        preserve = v == "preserve";
      }
    }
    st.preserve.push_back(preserve);
    xmlSAX2StartElementNs(ctx, localname, prefix, URI, nbNamespaces, namespaces, nbAttributes,
                          nbDefaulted, attributes);
  });
}

void OnEndElement(void* ctx, const xmlChar* localname, const xmlChar* prefix, const xmlChar* URI) {
  Guarded(ctx, [&](ParseState& st) {
    EndText(ctx, st);
    if (!st.preserve.empty()) st.preserve.pop_back();
    xmlSAX2EndElementNs(ctx, localname, prefix, URI);
  });
}

void OnComment(void* ctx, const xmlChar* value) {
  Guarded(ctx, [&](ParseState& st) {
    EndText(ctx, st);
    xmlSAX2Comment(ctx, value);
  });
}

void OnProcessingInstruction(void* ctx, const xmlChar* target, const xmlChar* data) {
  Guarded(ctx, [&](ParseState& st) {
    EndText(ctx, st);
    xmlSAX2ProcessingInstruction(ctx, target, data);
  });
}

void OnCData(void* ctx, const xmlChar* value, int len) {
  Guarded(ctx, [&](ParseState& st) {
    EndText(ctx, st);
    AddText(ctx, [&] { xmlSAX2CDataBlock(ctx, value, len); });
  });
}

void OnReference(void* ctx, const xmlChar* name) {
  Guarded(ctx, [&](ParseState& st) {
    EndText(ctx, st);
    xmlSAX2Reference(ctx, name);
  });
}

void OnError(void* userData, xmlErrorPtr err) {
  if (!userData || !CtxtOf(userData)->_private) return;
  Guarded(userData, [&](ParseState& st) {
    if (st.haveError || !err || err->level < XML_ERR_ERROR) return;
    // A namespace name that is not a valid URI (a blank, a non-ASCII letter) is
    // only a warning, as other readers take it.
    if (err->domain == XML_FROM_NAMESPACE && (err->code == XML_WAR_NS_URI || err->code == XML_WAR_NS_URI_RELATIVE))
      return;
    st.haveError = true;
    std::string msg = err->message ? err->message : "parse error";
    while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r')) msg.pop_back();
    st.error.reason = Utf8ToWide(msg);
    st.error.line = err->line;
  });
}

// Declared entities switch the parser back to its expansion limits, so a
// billion laughs fails quickly; external ones are not declared at all, so they
// are never fetched.
void OnEntityDecl(void* ctx, const xmlChar* name, int type, const xmlChar* publicId,
                  const xmlChar* systemId, xmlChar* content) {
  Guarded(ctx, [&](ParseState& st) {
    st.entities = true;
    CtxtOf(ctx)->options &= ~XML_PARSE_HUGE;
    if (type != XML_INTERNAL_GENERAL_ENTITY && type != XML_INTERNAL_PARAMETER_ENTITY) return;
    xmlSAX2EntityDecl(ctx, name, type, publicId, systemId, content);
  });
}

// Defaulted attributes join every element of their name, where the parser checks
// them against the element's own: their number is bound like an element's attributes.
void OnAttributeDecl(void* ctx, const xmlChar* elem, const xmlChar* fullname, int type, int def,
                     const xmlChar* defaultValue, xmlEnumerationPtr tree) {
  ParseState& st = StateOf(ctx);
  if (!st.failure && !st.haveError && defaultValue && ++st.defaults > kMaxAttributes) {
    xmlFreeEnumeration(tree);
    st.haveError = true;
    st.error = DOMParseError{u"Too many attributes on one element", xmlSAX2GetLineNumber(ctx), u""};
    xmlStopParser(CtxtOf(ctx));
    return;
  }
  if (defaultValue && st.scan) {
    const bool ns = fullname && xmlStrncmp(fullname, BAD_CAST "xmlns", 5) == 0 && (fullname[5] == 0 || fullname[5] == ':');
    st.scan->AddDefaults(1, ns ? 1 : 0);
  }
  xmlSAX2AttributeDecl(ctx, elem, fullname, type, def, defaultValue, tree);
}

xmlParserInputPtr OnResolveEntity(void*, const xmlChar*, const xmlChar*) { return nullptr; }
void OnExternalSubset(void*, const xmlChar*, const xmlChar*, const xmlChar*) {}

// Hands out the bytes to parse a piece at a time: 0 at the end.
using Reader = std::function<size_t(char* buffer, size_t size)>;

Reader ReadString(const std::string& bytes) {
  auto pos = std::make_shared<size_t>(0);
  return [&bytes, pos](char* buffer, size_t size) {
    size_t n = std::min(size, bytes.size() - *pos);
    std::memcpy(buffer, bytes.data() + *pos, n);
    *pos += n;
    return n;
  };
}

Reader ReadFile(std::shared_ptr<platform::File> file) {
  return [file](char* buffer, size_t size) { return file->Read(buffer, size); };
}

// The source line the parser stopped at, as the error record's excerpt.
std::u16string SourceLine(const Reader& read, int line) {
  if (line <= 0) return u"";
  std::string text;
  char chunk[65536];
  int at = 1;
  for (size_t n; (n = read(chunk, sizeof chunk)) > 0;) {
    for (size_t i = 0; i < n; ++i) {
      if (at == line) {
        if (chunk[i] == '\n' || chunk[i] == '\r' || text.size() >= 200)
          return platform::SysToWide(text);
        text.push_back(chunk[i]);
      } else if (chunk[i] == '\n') {
        ++at;
      }
    }
  }
  return platform::SysToWide(text);
}

class LibxmlDocument : public LibxmlNode, public IDOMDocument {
 public:
  LibxmlDocument() : LibxmlDocument(std::make_shared<Tree>(NewDoc())) {}
  explicit LibxmlDocument(TreeRef tree) : LibxmlNode(std::move(tree), nullptr) {
    node_ = reinterpret_cast<xmlNodePtr>(tree_->doc);
  }

  // IDOMNode, through the node part.
  std::u16string nodeName() const override { return LibxmlNode::nodeName(); }
  std::u16string localName() const override { return LibxmlNode::localName(); }
  std::u16string namespaceURI() const override { return LibxmlNode::namespaceURI(); }
  std::u16string prefix() const override { return LibxmlNode::prefix(); }
  int nodeType() const override { return nkDocument; }
  std::u16string nodeValue() const override { return u""; }
  void setNodeValue(const std::u16string& v) override { LibxmlNode::setNodeValue(v); }
  DOMNodes childNodes() const override { return LibxmlNode::childNodes(); }
  bool hasAttributeMap() const override { return false; }
  DOMNodes attributes() const override { return {}; }
  bool hasChildNodes() const override { return LibxmlNode::hasChildNodes(); }
  DOMDocument ownerDocument() const override { return nullptr; }
  DOMNode insertBefore(const DOMNode& c, const DOMNode& r) override { return LibxmlNode::insertBefore(c, r); }
  DOMNode appendChild(const DOMNode& c) override { return LibxmlNode::appendChild(c); }
  DOMNode removeChild(const DOMNode& c) override { return LibxmlNode::removeChild(c); }
  DOMNode setAttributeNode(const DOMNode& a) override { return LibxmlNode::setAttributeNode(a); }
  DOMNode removeAttributeNode(const DOMNode& a) override { return LibxmlNode::removeAttributeNode(a); }
  bool isSameNode(const IDOMNode& other) const override { return LibxmlNode::isSameNode(other); }
  std::int64_t plainTextLength() const override { return LibxmlNode::plainTextLength(); }

  DOMNode createElement(const std::u16string& name) override;
  DOMNode createElementNS(const std::u16string& uri, const std::u16string& qualifiedName) override;
  DOMNode createAttribute(const std::u16string& name) override;
  DOMNode createTextNode(const std::u16string& data) override;

  void setParseSettings(const DOMParseSettings& s) override { settings_ = s; }
  bool loadFile(const std::u16string& fileName) override;
  bool loadBytes(const std::string& bytes) override {
    if (std::int64_t(bytes.size()) > platform::kMaxBookText) return TooLarge();
    return Parse([&bytes] { return ReadString(bytes); }, false);
  }
  // As many characters as a book may have bytes; their UTF-8 form may take three bytes each.
  bool loadText(const std::u16string& text) override {
    if (std::int64_t(text.size()) > platform::kMaxBookText) return TooLarge();
    std::string bytes = WideToUtf8(text);
    return Parse([&bytes] { return ReadString(bytes); }, true);
  }
  const DOMParseError& parseError() const override { return error_; }
  std::string saveBytes() override;
  void saveBytes(const ByteSink& sink) override;
  std::u16string xml() override;
  size_t sourceSize() const override { return sourceSize_; }

  // Called once the object is owned by a shared pointer.
  void Adopt(const std::shared_ptr<LibxmlDocument>& self) {
    self_ = self;
    tree_->owner = self;
  }

 private:
  static xmlDocPtr NewDoc() {
    xmlDocPtr d = xmlNewDoc(BAD_CAST "1.0");
    if (!d) throw DOMException("Out of memory");
    return d;
  }
  bool TooLarge() {
    error_ = DOMParseError{u"The document is too large", 0, u""};
    return false;
  }
  // open starts the bytes again from the top (for the error's source line).
  bool Parse(const std::function<Reader()>& open, bool utf8Text);
  void Replace(DocHolder doc);
  DOMNode Orphan(xmlNodePtr n) {
    if (!n) throw DOMException("Out of memory");
    tree_->orphans.insert(n);
    return Wrap(n);
  }
  std::string Serialise(const char* encoding);
  void Serialise(const char* encoding, const ByteSink& sink);

  DOMParseSettings settings_;
  DOMParseError error_;
  std::weak_ptr<LibxmlDocument> self_;
  size_t sourceSize_ = 0;  // what the parsed bytes took, to size the saved text
};

// Old trees stay with the node references that still point into them.
void LibxmlDocument::Replace(DocHolder doc) {
  auto tree = std::make_shared<Tree>(doc.get());
  xmlDocPtr raw = doc.release();
  tree_ = std::move(tree);
  tree_->owner = self_;
  node_ = reinterpret_cast<xmlNodePtr>(raw);
}

bool LibxmlDocument::loadFile(const std::u16string& fileName) {
  // Read a piece at a time: the whole file is never in memory beside its tree.
  std::shared_ptr<platform::File> file;
  try {
    file = std::make_shared<platform::File>(platform::File::Open(fileName, platform::OpenMode::Read,
                                                                 platform::shareRead));
  } catch (const Exception& e) {
    error_ = DOMParseError{platform::SysToWide(e.Message()), 0, u""};
    return false;
  }
  try {
    if (file->Size() > platform::kMaxBookText) return TooLarge();
    return Parse(
        [&] {
          file->Seek(0);
          return ReadFile(file);
        },
        false);
  } catch (const EInOutError& e) {
    error_ = DOMParseError{platform::SysToWide(e.Message()), 0, u""};
    return false;
  }
}

// The bytes handed to the parser as it asks for them, read ahead in pieces and
// scanned on the way, so that what the parser would take quadratic time over,
// and a book past the text bound, stop before the parser sees them.
struct Feeder {
  // Starts reading: the first piece is in the buffer (end 0 for no bytes at all).
  // 16-bit text is parsed as UTF-8, up to three bytes for each character it may have.
  Feeder(Reader reader, ParseState& parseState, bool utf8Text) : read(std::move(reader)), state(&parseState) {
    parseState.scan = &scan;
    if (utf8Text) limit *= 3;
    Fill();
  }
  Feeder(const Feeder&) = delete;
  Feeder& operator=(const Feeder&) = delete;

  Reader read;
  ParseState* state = nullptr;
  MarkupScan scan;
  std::string buffer = std::string(1 << 16, '\0');
  size_t pos = 0, end = 0;
  std::uint64_t total = 0;  // bytes handed to the parser
  std::uint64_t limit = std::uint64_t(platform::kMaxBookText);
  const char* refusal = nullptr;
  int refusalLine = 0;
  std::exception_ptr failure;  // the reader's, raised once the parser has returned

  bool Fill() {
    pos = 0;
    end = read(buffer.data(), buffer.size());
    return end > 0;
  }
};

int ReadForParser(void* context, char* out, int len) {
  Feeder& f = *static_cast<Feeder*>(context);
  // After the first error there is nothing more to learn from the rest of the book.
  if (f.refusal || f.failure || f.state->haveError || f.state->failure) return f.refusal || f.failure ? -1 : 0;
  if (len <= 0) return 0;
  try {
    if (f.pos == f.end && !f.Fill()) return 0;
    size_t n = std::min(size_t(len), f.end - f.pos);
    if (f.total + n > f.limit) {
      f.refusal = "The document is too large";
      return -1;
    }
    if (!f.scan.Feed(f.buffer.data() + f.pos, n)) {
      f.refusal = f.scan.Reason();
      f.refusalLine = f.scan.Line();
      return -1;
    }
    std::memcpy(out, f.buffer.data() + f.pos, n);
    f.pos += n;
    f.total += n;
    return int(n);
  } catch (...) {
    f.failure = std::current_exception();
    return -1;
  }
}

// A pull parser with our hooks, reading through the feeder. The parser asks for
// a few kilobytes at a time and never rescans what it has already read.
ParserHolder NewParser(Feeder& feeder, bool utf8Text, ParseState& state) {
  ParserHolder ctxt(xmlCreateIOParserCtxt(nullptr, nullptr, ReadForParser, nullptr, &feeder,
                                          XML_CHAR_ENCODING_NONE));
  if (!ctxt) return ctxt;
  // Huge text nodes (embedded images) are fine; entity expansion stays bounded
  // because any entity declaration clears XML_PARSE_HUGE again.
  int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_HUGE | XML_PARSE_BIG_LINES |
                XML_PARSE_COMPACT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
  if (utf8Text) options |= XML_PARSE_IGNORE_ENC;
  xmlCtxtUseOptions(ctxt.get(), options);
  if (utf8Text) xmlSwitchEncoding(ctxt.get(), XML_CHAR_ENCODING_UTF8);
  ctxt->_private = &state;
  xmlSAXHandlerPtr sax = ctxt->sax;
  sax->serror = OnError;
  sax->entityDecl = OnEntityDecl;
  sax->attributeDecl = OnAttributeDecl;
  sax->resolveEntity = OnResolveEntity;
  sax->externalSubset = OnExternalSubset;
  sax->characters = OnCharacters;
  sax->ignorableWhitespace = OnCharacters;
  sax->startElementNs = OnStartElement;
  sax->endElementNs = OnEndElement;
  sax->comment = OnComment;
  sax->processingInstruction = OnProcessingInstruction;
  sax->cdataBlock = OnCData;
  sax->reference = OnReference;
  sax->warning = nullptr;
  sax->error = nullptr;
  sax->fatalError = nullptr;
  ctxt->vctxt.error = nullptr;
  ctxt->vctxt.warning = nullptr;
  // serror is called with the context as its data when userData is the context.
  ctxt->userData = ctxt.get();
  return ctxt;
}

// Puts the declaration in front as the document's first child, a processing instruction named xml.
void AddDeclarationNode(xmlDocPtr doc, const Declaration& decl) {
  if (!decl.present) return;
  xmlNodePtr pi = xmlNewDocPI(doc, BAD_CAST "xml", X(decl.text));
  if (!pi) throw DOMException("Out of memory");
  pi->parent = reinterpret_cast<xmlNodePtr>(doc);
  pi->next = doc->children;
  if (doc->children)
    doc->children->prev = pi;
  else
    doc->last = pi;
  doc->children = pi;
}

// Runs the parser to the end; a failure of the reader or of our hooks escapes.
// The tree it built, if any, is the caller's.
DocHolder RunParser(xmlParserCtxtPtr ctxt, const Feeder& feeder, const ParseState& state) {
  xmlParseDocument(ctxt);
  if (feeder.failure) std::rethrow_exception(feeder.failure);
  if (state.failure) std::rethrow_exception(state.failure);
  DocHolder doc(ctxt->myDoc);
  ctxt->myDoc = nullptr;
  return doc;
}

// The first fault of a parse that built no usable tree.
DOMParseError FirstFault(xmlParserCtxtPtr ctxt, const Feeder& feeder, ParseState& state) {
  // The feeder refuses only before any parse error: what it stopped is the first fault.
  if (feeder.refusal) return DOMParseError{Utf8ToWide(feeder.refusal), feeder.refusalLine, u""};
  if (!state.haveError) {
    OnError(ctxt, xmlCtxtGetLastError(ctxt));
    if (state.failure) std::rethrow_exception(state.failure);
    if (!state.haveError) state.error.reason = u"The document is not well-formed";
  }
  return state.error;
}

bool LibxmlDocument::Parse(const std::function<Reader()>& open, bool utf8Text) {
  error_ = DOMParseError{};
  ParseState state;
  state.hideBlanks = !settings_.preserveWhiteSpace;
  Feeder feeder(open(), state, utf8Text);
  // The declaration is read from the first bytes before the parser sees them.
  const Declaration decl = ReadDeclaration(feeder.buffer.substr(0, std::min<size_t>(feeder.end, 4096)));
  if (feeder.end == 0) {
    error_.reason = u"The document is empty";
    return false;
  }
  ParserHolder ctxt = NewParser(feeder, utf8Text, state);
  if (!ctxt) {
    error_.reason = u"Out of memory";
    return false;
  }
  DocHolder doc = RunParser(ctxt.get(), feeder, state);
  if (!feeder.refusal && ctxt->wellFormed && doc && !state.haveError) {
    ctxt.reset();
    sourceSize_ = size_t(feeder.total);
    AddDeclarationNode(doc.get(), decl);
    Replace(std::move(doc));
    return true;
  }
  error_ = FirstFault(ctxt.get(), feeder, state);
  if (feeder.total == 0) error_.reason = u"The document is empty";
  if (error_.line > 0) error_.srcText = SourceLine(open(), error_.line);
  return false;
}

DOMNode LibxmlDocument::createElement(const std::u16string& name) {
  std::string n = WideToUtf8(name);
  if (xmlValidateName(X(n), 0) != 0) throw DOMException(Format("Invalid element name \"%s\"", n.c_str()));
  return Orphan(xmlNewDocNode(tree_->doc, nullptr, X(n), nullptr));
}

DOMNode LibxmlDocument::createElementNS(const std::u16string& uri, const std::u16string& qualifiedName) {
  std::string q = WideToUtf8(qualifiedName);
  if (xmlValidateQName(X(q), 0) != 0) throw DOMException(Format("Invalid element name \"%s\"", q.c_str()));
  std::string u = WideToUtf8(uri);
  std::string prefix, local = q;
  size_t colon = q.find(':');
  if (colon != std::string::npos) {
    prefix = q.substr(0, colon);
    local = q.substr(colon + 1);
  }
  xmlNodePtr node = xmlNewDocNode(tree_->doc, nullptr, X(local), nullptr);
  if (!node) throw DOMException("Out of memory");
  tree_->orphans.insert(node);
  // Declared on the element until it is placed where the same declaration is in scope.
  xmlNsPtr ns = xmlNewNs(node, X(u), prefix.empty() ? nullptr : X(prefix));
  if (!ns) throw DOMException("Out of memory");
  node->ns = ns;
  tree_->ownNs.insert(node);
  return Wrap(node);
}

DOMNode LibxmlDocument::createAttribute(const std::u16string& name) {
  std::string n = WideToUtf8(name);
  if (xmlValidateName(X(n), 0) != 0) throw DOMException(Format("Invalid attribute name \"%s\"", n.c_str()));
  xmlAttrPtr a = xmlNewDocProp(tree_->doc, X(n), nullptr);
  return Orphan(reinterpret_cast<xmlNodePtr>(a));
}

DOMNode LibxmlDocument::createTextNode(const std::u16string& data) {
  return Orphan(xmlNewDocText(tree_->doc, X(WideToUtf8(data))));
}

int WriteToSink(void* context, const char* buffer, int len) {
  try {
    (*static_cast<const IDOMDocument::ByteSink*>(context))(buffer, size_t(len));
    return len;
  } catch (...) {
    return -1;  // the save fails; the sink's error does not cross the parser
  }
}

void LibxmlDocument::Serialise(const char* encoding, const ByteSink& sink) {
  xmlSaveCtxtPtr save = xmlSaveToIO(WriteToSink, nullptr, const_cast<ByteSink*>(&sink), encoding,
                                    XML_SAVE_NO_DECL | XML_SAVE_AS_XML);
  if (!save) throw DOMException(Format("Cannot save in the encoding \"%s\"", encoding ? encoding : ""));
  // The top-level nodes one by one, the declaration node among them (written
  // like any processing instruction), each followed by a line break.
  xmlNodePtr nl = xmlNewDocText(tree_->doc, BAD_CAST "\n");
  for (xmlNodePtr c = tree_->doc->children; c; c = c->next) {
    xmlSaveTree(save, c);
    if (nl) xmlSaveTree(save, nl);
  }
  if (nl) xmlFreeNode(nl);
  if (xmlSaveClose(save) < 0 || !nl) throw DOMException("The document could not be saved");
}

std::string LibxmlDocument::Serialise(const char* encoding) {
  std::string out;
  out.reserve(sourceSize_ + sourceSize_ / 16 + 256);
  Serialise(encoding, [&out](const char* data, size_t size) { out.append(data, size); });
  return out;
}

// The encoding the declaration node names, "" for none.
std::string DeclaredEncodingOf(xmlDocPtr doc) {
  xmlNodePtr first = doc->children;
  if (!first || first->type != XML_PI_NODE || !xmlStrEqual(first->name, BAD_CAST "xml") || !first->content)
    return "";
  return DeclValue(std::string_view(reinterpret_cast<const char*>(first->content)), "encoding", DeclQuote::Either);
}

std::string LibxmlDocument::saveBytes() {
  std::string enc = DeclaredEncodingOf(tree_->doc);
  return Serialise(enc.empty() ? "UTF-8" : enc.c_str());
}

void LibxmlDocument::saveBytes(const ByteSink& sink) {
  std::string enc = DeclaredEncodingOf(tree_->doc);
  Serialise(enc.empty() ? "UTF-8" : enc.c_str(), sink);
}

std::u16string LibxmlDocument::xml() { return Utf8ToWide(Serialise("UTF-8")); }

DOMDocument LibxmlNode::ownerDocument() const {
  if (node_->type == XML_DOCUMENT_NODE && !nsDecl_) return nullptr;
  if (auto doc = tree_->owner.lock()) {
    auto* d = static_cast<LibxmlDocument*>(doc.get());
    if (d->TreeOf() == tree_) return doc;
  }
  // A tree its document object has let go of (reloaded): a view of its own.
  auto view = std::make_shared<LibxmlDocument>(tree_);
  view->Adopt(view);
  return view;
}

class LibxmlImplementation : public IDOMImplementation {
 public:
  LibxmlImplementation() { xmlInitParser(); }
  DOMDocument createDocument() override {
    auto doc = std::make_shared<LibxmlDocument>();
    doc->Adopt(doc);
    return doc;
  }
};

}  // namespace

void RegisterLibxmlDOM() { RegisterDOMVendor("libxml2", std::make_shared<LibxmlImplementation>()); }

}  // namespace velarin::xml
