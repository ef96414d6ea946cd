// The pugixml back-end of the DOM binding: the fast reader on Linux. It gives
// the document layer what the libxml2 back-end gives, and hands any document it
// would not read exactly as libxml2 does (a DTD, unusual bytes or markup, a
// parse error) to a libxml2 document, which then answers for it.
#include <libxml/tree.h>

#include <pugixml.hpp>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/limits.h"
#include "xml/libxmldom.h"
#include "xml/pugidom.h"
#include "xml/pugiinput.h"
#include "xml/pugisave.h"
#include "xml/textlength.h"
#include "xml/xmldecl.h"
#include "xml/xmldom.h"

namespace velarin::xml {
namespace {

using platform::Utf8ToWide;
using platform::WideToUtf8;
using NodeStruct = pugi::xml_node_struct*;
using AttrStruct = pugi::xml_attribute_struct*;

const char kXmlnsURI[] = "http://www.w3.org/2000/xmlns/";
const char kXmlURI[] = "http://www.w3.org/XML/1998/namespace";

std::u16string W(const char* s) { return Utf8ToWide(s); }

bool IsBlankText(const char* s) {
  for (; *s; ++s)
    if (*s != ' ' && *s != '\t' && *s != '\r' && *s != '\n') return false;
  return true;
}

// "xmlns" or "xmlns:p": the name of a namespace declaration.
bool IsDeclarationName(const char* name) {
  return std::strncmp(name, "xmlns", 5) == 0 && (name[5] == 0 || name[5] == ':');
}

class PugiAttr;

// One pugixml document, with what the DOM needs beside it. Nodes made or taken
// out of the tree live under a holder element that is never shown or saved, so
// that references handed out stay valid until the document goes.
struct Tree {
  std::string text;  // what pugixml parsed in place: names and values point into it; outlives doc
  pugi::xml_document doc;
  pugi::xml_node holder;
  bool hideBlanks = true;
  bool sourceEncodingKnown = false;
  // Text nodes that stay visible although only blanks: made by createTextNode,
  // given a value, or under xml:space="preserve".
  std::unordered_set<NodeStruct> shownBlanks;
  // Elements and attributes made without a namespace: their prefix, if any, is part of the name.
  std::unordered_set<const void*> noNamespace;
  // Elements made with a declaration of their own, until placed where it is in scope.
  std::unordered_set<NodeStruct> ownDeclaration;
  // Attributes made and never given a value: they have no text child.
  std::unordered_set<AttrStruct> valueless;
  // One object per attribute, so that what a caller holds follows it.
  std::unordered_map<AttrStruct, std::weak_ptr<PugiAttr>> attributes;
  std::weak_ptr<IDOMDocument> owner;

  Tree() { holder = doc.append_child(pugi::node_element); }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;

  bool IsHidden(const pugi::xml_node& n) const {
    return n.type() == pugi::node_pcdata && hideBlanks && IsBlankText(n.value()) &&
           !shownBlanks.count(n.internal_object());
  }
  bool IsDeclaration(const pugi::xml_attribute& a) const {
    return IsDeclarationName(a.name()) && !noNamespace.count(a.internal_object());
  }
  // The last child readers may see placed after: the holder is the document's last.
  pugi::xml_node LastChild(const pugi::xml_node& n) const {
    return n == doc ? holder.previous_sibling() : n.last_child();
  }
};
using TreeRef = std::shared_ptr<Tree>;

pugi::xml_node Visible(const Tree& tree, pugi::xml_node n) {
  while (n && (tree.IsHidden(n) || n == tree.holder)) n = n.next_sibling();
  return n;
}

// The namespace a prefix stands for at an element ("" for the default one); found
// is false when nothing declares it.
std::string LookUpNamespace(const Tree& tree, pugi::xml_node at, const std::string& prefix, bool& found) {
  const std::string decl = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
  for (; at && at.type() == pugi::node_element; at = at.parent())
    for (pugi::xml_attribute a = at.first_attribute(); a; a = a.next_attribute())
      if (decl == a.name() && tree.IsDeclaration(a)) {
        found = true;
        return a.value();
      }
  found = prefix == "xml";
  return found ? kXmlURI : "";
}

std::string PrefixOf(const char* name) {
  const char* colon = std::strchr(name, ':');
  return colon ? std::string(name, size_t(colon - name)) : std::string();
}

std::u16string LocalPart(const char* name) {
  const char* colon = std::strchr(name, ':');
  return W(colon ? colon + 1 : name);
}

class PugiDocument;

// What both kinds of node object share: the tree they belong to.
class PugiBase : public IDOMNode {
 public:
  explicit PugiBase(TreeRef tree) : tree_(std::move(tree)) {}
  const TreeRef& TreeOf() const { return tree_; }
  DOMDocument ownerDocument() const override;

 protected:
  TreeRef tree_;
};

// An attribute: on an element, or on none (made, or taken off) with its name and value kept here.
class PugiAttr : public PugiBase, public std::enable_shared_from_this<PugiAttr> {
 public:
  PugiAttr(TreeRef tree, pugi::xml_node element, pugi::xml_attribute attr)
      : PugiBase(std::move(tree)), element_(element), attr_(attr) {}
  PugiAttr(TreeRef tree, std::string name) : PugiBase(std::move(tree)), name_(std::move(name)), noNamespace_(true) {}

  std::u16string nodeName() const override { return W(Name()); }
  std::u16string localName() const override {
    if (IsDeclaration()) return attr_.name()[5] ? W(attr_.name() + 6) : u"xmlns";
    return LocalPart(Name());
  }
  std::u16string namespaceURI() const override;
  std::u16string prefix() const override {
    if (IsDeclaration()) return attr_.name()[5] ? u"xmlns" : u"";
    return W(PrefixOf(Name()).c_str());
  }
  int nodeType() const override { return nkAttribute; }
  std::u16string nodeValue() const override { return W(attr_ ? attr_.value() : value_.c_str()); }
  void setNodeValue(const std::u16string& value) override;
  // The value as one text node, as libxml2 keeps it; none until a made attribute has a value.
  DOMNodes childNodes() const override;
  bool hasAttributeMap() const override { return false; }
  DOMNodes attributes() const override { return {}; }
  bool hasChildNodes() const override { return !IsDeclaration() && HasValue(); }
  DOMNode insertBefore(const DOMNode&, const DOMNode&) override { throw NoChildren(); }
  DOMNode appendChild(const DOMNode&) override { throw NoChildren(); }
  DOMNode removeChild(const DOMNode&) override { throw DOMException("The node is not a child of this node"); }
  DOMNode setAttributeNode(const DOMNode&) override { throw NoAttributes(); }
  DOMNode removeAttributeNode(const DOMNode&) override { throw NoAttributes(); }
  bool isSameNode(const IDOMNode& other) const override { return &other == this; }
  std::int64_t plainTextLength() const override { return 0; }

  bool IsDeclaration() const { return attr_ && tree_->IsDeclaration(attr_); }
  bool HasValue() const { return attr_ ? !tree_->valueless.count(attr_.internal_object()) : hasValue_; }
  bool Attached() const { return bool(attr_); }
  pugi::xml_node Element() const { return element_; }
  AttrStruct Raw() const { return attr_.internal_object(); }
  const char* Name() const { return attr_ ? attr_.name() : name_.c_str(); }
  bool HasNoNamespace() const { return attr_ ? tree_->noNamespace.count(attr_.internal_object()) > 0 : noNamespace_; }
  // Puts this attribute on an element, last; it was on none.
  void AttachTo(pugi::xml_node element);
  // Takes it off its element, keeping what it reads as.
  void Detach();

 private:
  static DOMException NoChildren() { return DOMException("This node type does not allow children"); }
  static DOMException NoAttributes() { return DOMException("Attributes are not supported on this node type"); }

  pugi::xml_node element_;
  pugi::xml_attribute attr_;
  std::string name_, value_, uri_;  // while on no element
  bool noNamespace_ = false;
  bool hasValue_ = false;
};

// An attribute's value seen as its text child.
class PugiAttrText : public PugiBase {
 public:
  explicit PugiAttrText(std::shared_ptr<PugiAttr> attr) : PugiBase(attr->TreeOf()), attr_(std::move(attr)) {}
  std::u16string nodeName() const override { return u"#text"; }
  std::u16string localName() const override { return u""; }
  std::u16string namespaceURI() const override { return u""; }
  std::u16string prefix() const override { return u""; }
  int nodeType() const override { return nkText; }
  std::u16string nodeValue() const override { return attr_->nodeValue(); }
  void setNodeValue(const std::u16string& value) override { attr_->setNodeValue(value); }
  DOMNodes childNodes() const override { return {}; }
  bool hasAttributeMap() const override { return false; }
  DOMNodes attributes() const override { return {}; }
  bool hasChildNodes() const override { return false; }
  DOMNode insertBefore(const DOMNode&, const DOMNode&) override { throw NoChildren(); }
  DOMNode appendChild(const DOMNode&) override { throw NoChildren(); }
  DOMNode removeChild(const DOMNode&) override { throw DOMException("The node is not a child of this node"); }
  DOMNode setAttributeNode(const DOMNode&) override { throw NoAttributes(); }
  DOMNode removeAttributeNode(const DOMNode&) override { throw NoAttributes(); }
  bool isSameNode(const IDOMNode& other) const override {
    auto* o = dynamic_cast<const PugiAttrText*>(&other);
    return o && o->attr_ == attr_;
  }
  std::int64_t plainTextLength() const override { return 0; }

 private:
  static DOMException NoChildren() { return DOMException("This node type does not allow children"); }
  static DOMException NoAttributes() { return DOMException("Attributes are not supported on this node type"); }
  std::shared_ptr<PugiAttr> attr_;
};

DOMNodes PugiAttr::childNodes() const {
  if (!hasChildNodes()) return {};
  return {std::make_shared<PugiAttrText>(std::const_pointer_cast<PugiAttr>(shared_from_this()))};
}

std::u16string PugiAttr::namespaceURI() const {
  if (!attr_) return W(uri_.c_str());
  if (IsDeclaration()) return W(kXmlnsURI);
  if (HasNoNamespace()) return u"";
  const std::string prefix = PrefixOf(attr_.name());
  if (prefix.empty()) return u"";
  bool found = false;
  return W(LookUpNamespace(*tree_, element_, prefix, found).c_str());
}

void PugiAttr::setNodeValue(const std::u16string& value) {
  std::string v = WideToUtf8(value);
  if (IsDeclaration()) throw DOMException("Namespace declarations cannot be changed");
  if (!attr_) {
    value_ = std::move(v);
    hasValue_ = true;
    return;
  }
  if (!attr_.set_value(v.c_str())) throw DOMException("Out of memory");
  tree_->valueless.erase(attr_.internal_object());
}

void PugiAttr::AttachTo(pugi::xml_node element) {
  pugi::xml_attribute a = element.append_attribute(name_.c_str());
  if (!a || !a.set_value(value_.c_str())) throw DOMException("Out of memory");
  if (noNamespace_) tree_->noNamespace.insert(a.internal_object());
  if (!hasValue_) tree_->valueless.insert(a.internal_object());
  element_ = element;
  attr_ = a;
  name_.clear();
  value_.clear();
  uri_.clear();
}

void PugiAttr::Detach() {
  name_ = attr_.name();
  value_ = attr_.value();
  uri_ = WideToUtf8(namespaceURI());
  noNamespace_ = HasNoNamespace();
  hasValue_ = HasValue();
  tree_->noNamespace.erase(attr_.internal_object());
  tree_->valueless.erase(attr_.internal_object());
  tree_->attributes.erase(attr_.internal_object());
  element_.remove_attribute(attr_);
  element_ = pugi::xml_node();
  attr_ = pugi::xml_attribute();
}

// The one object for an attribute on an element.
std::shared_ptr<PugiAttr> AttrObject(const TreeRef& tree, pugi::xml_node element, pugi::xml_attribute a) {
  auto& slot = tree->attributes[a.internal_object()];
  if (auto held = slot.lock()) return held;
  auto made = std::make_shared<PugiAttr>(tree, element, a);
  slot = made;
  return made;
}

// An element, text, CDATA section, comment, processing instruction or the document.
class PugiNode : public PugiBase {
 public:
  PugiNode(TreeRef tree, pugi::xml_node node) : PugiBase(std::move(tree)), node_(node) {}

  std::u16string nodeName() const override;
  std::u16string localName() const override;
  std::u16string namespaceURI() const override;
  std::u16string prefix() const override;
  int nodeType() const override;
  std::u16string nodeValue() const override;
  void setNodeValue(const std::u16string& value) override;
  DOMNodes childNodes() const override;
  bool hasAttributeMap() const override { return node_.type() == pugi::node_element; }
  DOMNodes attributes() const override;
  bool hasChildNodes() const override { return bool(Visible(*tree_, node_.first_child())); }
  DOMNode insertBefore(const DOMNode& newChild, const DOMNode& refChild) override;
  DOMNode appendChild(const DOMNode& newChild) override;
  DOMNode removeChild(const DOMNode& child) override;
  DOMNode setAttributeNode(const DOMNode& attr) override;
  DOMNode removeAttributeNode(const DOMNode& attr) override;
  bool isSameNode(const IDOMNode& other) const override {
    auto* o = dynamic_cast<const PugiNode*>(&other);
    return o && o->node_ == node_;
  }
  std::int64_t plainTextLength() const override;

 protected:
  DOMNode Wrap(pugi::xml_node n) const { return std::make_shared<PugiNode>(tree_, n); }
  PugiNode& Own(const DOMNode& n, const char* what) const;
  PugiAttr& OwnAttr(const DOMNode& n, const char* what) const;
  void Link(pugi::xml_node child, pugi::xml_node before);
  void Place(pugi::xml_node child, pugi::xml_node before);
  void DropBlanksBeside(pugi::xml_node prev, pugi::xml_node next);
  pugi::xml_node CopyBlank(pugi::xml_node blank);
  void AdoptInScopeDeclaration(pugi::xml_node element);

  pugi::xml_node node_;
};

std::u16string PugiNode::nodeName() const {
  switch (node_.type()) {
    case pugi::node_element:
    case pugi::node_pi:
      return W(node_.name());
    case pugi::node_pcdata:
      return u"#text";
    case pugi::node_cdata:
      return u"#cdata-section";
    case pugi::node_comment:
      return u"#comment";
    case pugi::node_document:
      return u"#document";
    default:
      return u"";
  }
}

std::u16string PugiNode::localName() const {
  if (node_.type() == pugi::node_element) return LocalPart(node_.name());
  if (node_.type() == pugi::node_pi) return W(node_.name());
  return u"";
}

std::u16string PugiNode::namespaceURI() const {
  if (node_.type() != pugi::node_element || tree_->noNamespace.count(node_.internal_object())) return u"";
  bool found = false;
  std::string uri = LookUpNamespace(*tree_, node_, PrefixOf(node_.name()), found);
  return W(uri.c_str());
}

std::u16string PugiNode::prefix() const {
  return node_.type() == pugi::node_element ? W(PrefixOf(node_.name()).c_str()) : u"";
}

int PugiNode::nodeType() const {
  switch (node_.type()) {
    case pugi::node_element:
      return nkElement;
    case pugi::node_pcdata:
      return nkText;
    case pugi::node_cdata:
      return nkCData;
    case pugi::node_comment:
      return nkComment;
    case pugi::node_pi:
      return nkProcessingInstr;
    case pugi::node_document:
      return nkDocument;
    default:
      return 0;
  }
}

std::u16string PugiNode::nodeValue() const {
  switch (node_.type()) {
    case pugi::node_pcdata:
    case pugi::node_cdata:
    case pugi::node_comment:
    case pugi::node_pi:
      return W(node_.value());
    default:
      return u"";
  }
}

void PugiNode::setNodeValue(const std::u16string& value) {
  std::string v = WideToUtf8(value);
  switch (node_.type()) {
    case pugi::node_pcdata:
      // a text node readers see stays seen, whatever it holds
      tree_->shownBlanks.insert(node_.internal_object());
      [[fallthrough]];
    case pugi::node_cdata:
    case pugi::node_comment:
    case pugi::node_pi:
      if (!node_.set_value(v.c_str())) throw DOMException("Out of memory");
      return;
    default:
      throw DOMException("This operation can not be performed with a Node of this type");
  }
}

DOMNodes PugiNode::childNodes() const {
  DOMNodes out;
  for (pugi::xml_node c = Visible(*tree_, node_.first_child()); c; c = Visible(*tree_, c.next_sibling()))
    out.push_back(Wrap(c));
  return out;
}

DOMNodes PugiNode::attributes() const {
  DOMNodes out;
  if (!hasAttributeMap()) return out;
  // declarations first, as libxml2 keeps them apart
  for (pugi::xml_attribute a = node_.first_attribute(); a; a = a.next_attribute())
    if (tree_->IsDeclaration(a)) out.push_back(AttrObject(tree_, node_, a));
  for (pugi::xml_attribute a = node_.first_attribute(); a; a = a.next_attribute())
    if (!tree_->IsDeclaration(a)) out.push_back(AttrObject(tree_, node_, a));
  return out;
}

PugiNode& PugiNode::Own(const DOMNode& n, const char* what) const {
  auto* b = dynamic_cast<PugiBase*>(n.get());
  if (!b) throw DOMException(Format("%s: node required", what));
  if (b->TreeOf() != tree_) throw DOMException("The node belongs to another document");
  auto* a = dynamic_cast<PugiAttr*>(b);
  if (a && a->IsDeclaration()) throw DOMException("Namespace declarations cannot be moved");
  if (a) throw DOMException("Insert of this node type is not allowed");
  return static_cast<PugiNode&>(*b);
}

PugiAttr& PugiNode::OwnAttr(const DOMNode& n, const char* what) const {
  auto* b = dynamic_cast<PugiBase*>(n.get());
  if (!b) throw DOMException(Format("%s: node required", what));
  if (b->TreeOf() != tree_) throw DOMException("The node belongs to another document");
  auto* a = dynamic_cast<PugiAttr*>(b);
  if (a && a->IsDeclaration()) throw DOMException("Namespace declarations cannot be moved");
  if (!a) throw DOMException("An attribute node is required");
  return *a;
}

// The element made with a declaration of its own drops it where the same
// declaration is in scope, so no xmlns attribute is added.
void PugiNode::AdoptInScopeDeclaration(pugi::xml_node element) {
  auto it = tree_->ownDeclaration.find(element.internal_object());
  if (it == tree_->ownDeclaration.end()) return;
  pugi::xml_attribute own;
  int declarations = 0;
  for (pugi::xml_attribute a = element.first_attribute(); a; a = a.next_attribute())
    if (tree_->IsDeclaration(a)) {
      own = a;
      ++declarations;
    }
  if (declarations != 1 || element.parent() == tree_->holder) return;
  const std::string prefix = own.name()[5] ? own.name() + 6 : "";
  bool found = false;
  const std::string inScope = LookUpNamespace(*tree_, element.parent(), prefix, found);
  if (!found || inScope != own.value()) return;
  if (auto held = tree_->attributes[own.internal_object()].lock()) held->Detach();
  tree_->attributes.erase(own.internal_object());
  element.remove_attribute(own);
  tree_->ownDeclaration.erase(it);
}

void PugiNode::Link(pugi::xml_node child, pugi::xml_node before) {
  const auto type = node_.type();
  if (type != pugi::node_element && type != pugi::node_document)
    throw DOMException("This node type does not allow children");
  if (child.type() == pugi::node_document) throw DOMException("Insert of this node type is not allowed");
  for (pugi::xml_node a = node_; a; a = a.parent())
    if (a == child) throw DOMException("The new child is an ancestor of this node");
  if (child == before) return;
  if (!before && node_ == tree_->doc) before = tree_->holder;
  pugi::xml_node moved = before ? node_.insert_move_before(child, before) : node_.append_move(child);
  if (!moved) throw DOMException("Insert of this node type is not allowed");
  AdoptInScopeDeclaration(child);
}

pugi::xml_node PugiNode::CopyBlank(pugi::xml_node blank) {
  pugi::xml_node copy = tree_->holder.append_child(pugi::node_pcdata);
  if (!copy || !copy.set_value(blank.value())) throw DOMException("Out of memory");
  return copy;
}

bool IsCharacterData(const Tree& tree, const pugi::xml_node& n) {
  return n && (n.type() == pugi::node_cdata || (n.type() == pugi::node_pcdata && !tree.IsHidden(n)));
}

// prev and next have just become neighbours. Hidden blanks that touch text
// would read back as part of it, so those runs go.
void PugiNode::DropBlanksBeside(pugi::xml_node prev, pugi::xml_node next) {
  if (IsCharacterData(*tree_, prev))
    while (next && tree_->IsHidden(next)) {
      pugi::xml_node after = next.next_sibling();
      node_.remove_child(next);
      next = after;
    }
  if (IsCharacterData(*tree_, next))
    while (prev && tree_->IsHidden(prev)) {
      pugi::xml_node earlier = prev.previous_sibling();
      node_.remove_child(prev);
      prev = earlier;
    }
}

void PugiNode::Place(pugi::xml_node child, pugi::xml_node before) {
  const auto type = child.type();
  if (type == pugi::node_pcdata || type == pugi::node_cdata) {
    Link(child, before);
    DropBlanksBeside(child.previous_sibling(), child);
    DropBlanksBeside(child, child.next_sibling());
    return;
  }
  if (before) {
    // B new B' ref: the new node takes the indentation its siblings have
    pugi::xml_node prev = before.previous_sibling();
    if (prev && tree_->IsHidden(prev) && prev != child) {
      pugi::xml_node copy = CopyBlank(prev);
      Link(child, before);
      Link(copy, before);
      return;
    }
    Link(child, before);
    return;
  }
  // Appended: before the trailing blank, after a copy of the last sibling's indentation.
  pugi::xml_node last = tree_->LastChild(node_);
  pugi::xml_node trailing = last && tree_->IsHidden(last) && last != child ? last : pugi::xml_node();
  pugi::xml_node lastSeen = trailing ? trailing.previous_sibling() : last;
  pugi::xml_node indent;
  if (lastSeen && lastSeen != child && lastSeen.previous_sibling() && tree_->IsHidden(lastSeen.previous_sibling()))
    indent = lastSeen.previous_sibling();
  if (indent) Link(CopyBlank(indent), trailing);
  Link(child, trailing);
}

DOMNode PugiNode::insertBefore(const DOMNode& newChild, const DOMNode& refChild) {
  if (!refChild) throw DOMException("Node cannot be null");
  PugiNode& c = Own(newChild, "insertBefore");
  PugiNode& r = Own(refChild, "insertBefore");
  if (r.node_.parent() != node_) throw DOMException("The reference node is not a child of this node");
  Place(c.node_, r.node_);
  return newChild;
}

DOMNode PugiNode::appendChild(const DOMNode& newChild) {
  PugiNode& c = Own(newChild, "appendChild");
  Place(c.node_, pugi::xml_node());
  return newChild;
}

DOMNode PugiNode::removeChild(const DOMNode& child) {
  auto* b = dynamic_cast<PugiBase*>(child.get());
  if (b && b->TreeOf() == tree_ && dynamic_cast<PugiAttr*>(b))
    throw DOMException("The node is not a child of this node");
  PugiNode& c = Own(child, "removeChild");
  if (c.node_.parent() != node_ || c.node_ == tree_->holder) throw DOMException("The node is not a child of this node");
  // The blank in front goes along, so no empty line is left.
  pugi::xml_node prev = c.node_.previous_sibling();
  pugi::xml_node next = c.node_.next_sibling();
  if (prev && tree_->IsHidden(prev)) {
    pugi::xml_node earlier = prev.previous_sibling();
    node_.remove_child(prev);
    prev = earlier;
  }
  if (!tree_->holder.append_move(c.node_)) throw DOMException("Out of memory");
  DropBlanksBeside(prev, next);
  return child;
}

DOMNode PugiNode::setAttributeNode(const DOMNode& attr) {
  if (!hasAttributeMap()) throw DOMException("Attributes are not supported on this node type");
  PugiAttr& a = OwnAttr(attr, "setAttributeNode");
  if (a.Attached() && a.Element() == node_) return attr;
  if (a.Attached()) throw DOMException("The attribute is in use by another element");
  // Only an attribute made the same way, without a namespace and by the same name, is replaced.
  DOMNode replaced;
  for (pugi::xml_attribute p = node_.first_attribute(); p; p = p.next_attribute()) {
    const bool plain = tree_->noNamespace.count(p.internal_object()) ||
                       (!std::strchr(p.name(), ':') && !tree_->IsDeclaration(p));
    if (plain == a.HasNoNamespace() && std::strcmp(p.name(), a.Name()) == 0) {
      std::shared_ptr<PugiAttr> old = AttrObject(tree_, node_, p);
      old->Detach();
      replaced = old;
      break;
    }
  }
  a.AttachTo(node_);
  tree_->attributes[a.Raw()] = std::static_pointer_cast<PugiAttr>(attr);
  return replaced;
}

DOMNode PugiNode::removeAttributeNode(const DOMNode& attr) {
  PugiAttr& a = OwnAttr(attr, "removeAttributeNode");
  if (!a.Attached() || a.Element() != node_) throw DOMException("The attribute is not an attribute of this element");
  a.Detach();
  return attr;
}

// Length in 16-bit units of the text of every element whose only visible child
// is one text node, walked in place without node objects or recursion.
std::int64_t PugiNode::plainTextLength() const {
  std::int64_t total = 0;
  std::vector<pugi::xml_node> pending{node_};
  while (!pending.empty()) {
    pugi::xml_node n = pending.back();
    pending.pop_back();
    pugi::xml_node first = Visible(*tree_, n.first_child());
    if (!first) continue;
    if (n.type() == pugi::node_element && first.type() == pugi::node_pcdata &&
        !Visible(*tree_, first.next_sibling())) {
      total += Utf16Length(first.value());
      continue;
    }
    // only elements hold children; an empty one is passed over when it comes up
    for (pugi::xml_node c = first; c; c = c.next_sibling())
      if (c.type() == pugi::node_element && c != tree_->holder) pending.push_back(c);
  }
  return total;
}

// The document: a pugixml tree, or, for a document handed over, a libxml2
// document that answers every call.
class PugiDocument : public IDOMDocument {
 public:
  PugiDocument() : tree_(std::make_shared<Tree>()) {}
  explicit PugiDocument(TreeRef tree) : tree_(std::move(tree)) {}

  std::u16string nodeName() const override { return Node()->nodeName(); }
  std::u16string localName() const override { return Node()->localName(); }
  std::u16string namespaceURI() const override { return Node()->namespaceURI(); }
  std::u16string prefix() const override { return Node()->prefix(); }
  int nodeType() const override { return nkDocument; }
  std::u16string nodeValue() const override { return u""; }
  void setNodeValue(const std::u16string& v) override { Node()->setNodeValue(v); }
  DOMNodes childNodes() const override { return Node()->childNodes(); }
  bool hasAttributeMap() const override { return false; }
  DOMNodes attributes() const override { return {}; }
  bool hasChildNodes() const override { return Node()->hasChildNodes(); }
  DOMDocument ownerDocument() const override { return nullptr; }
  DOMNode insertBefore(const DOMNode& c, const DOMNode& r) override { return Node()->insertBefore(c, r); }
  DOMNode appendChild(const DOMNode& c) override { return Node()->appendChild(c); }
  DOMNode removeChild(const DOMNode& c) override { return Node()->removeChild(c); }
  DOMNode setAttributeNode(const DOMNode& a) override { return Node()->setAttributeNode(a); }
  DOMNode removeAttributeNode(const DOMNode& a) override { return Node()->removeAttributeNode(a); }
  bool isSameNode(const IDOMNode& other) const override;
  std::int64_t plainTextLength() const override { return Node()->plainTextLength(); }

  DOMNode createElement(const std::u16string& name) override;
  DOMNode createElementNS(const std::u16string& uri, const std::u16string& qualifiedName) override;
  DOMNode createAttribute(const std::u16string& name) override;
  DOMNode createTextNode(const std::u16string& data) override;

  void setParseSettings(const DOMParseSettings& s) override { settings_ = s; }
  bool loadFile(const std::u16string& fileName) override;
  bool loadBytes(const std::string& bytes) override;
  bool loadText(const std::u16string& text) override;
  const DOMParseError& parseError() const override { return libxml_ ? libxml_->parseError() : error_; }
  std::string saveBytes() override;
  void saveBytes(const ByteSink& sink) override;
  std::u16string xml() override;
  size_t sourceSize() const override { return libxml_ ? libxml_->sourceSize() : sourceSize_; }

  void Adopt(const std::shared_ptr<PugiDocument>& self) {
    self_ = self;
    tree_->owner = self;
  }
  const TreeRef& TreeOf() const { return tree_; }
  const char* HandOverReason() const { return libxml_ ? why_ : nullptr; }

 private:
  // The node calls go to: the handed-over document, or the tree's document node.
  std::shared_ptr<IDOMNode> Node() const {
    if (libxml_) return libxml_;
    return std::make_shared<PugiNode>(tree_, tree_->doc);
  }
  // Parses prepared text; false when the fast path does not take it.
  bool Parse(PugiInput& in);
  template <class Load>
  bool HandOver(Load&& load) {
    if (!why_) why_ = "larger than a book may be";
    libxml_ = GetDOM("libxml2")->createDocument();
    libxml_->setParseSettings(settings_);
    return load(*libxml_);
  }
  void Reset() {
    why_ = nullptr;
    libxml_.reset();
    error_ = DOMParseError{};
  }
  DOMNode Created(pugi::xml_node n) {
    if (!n) throw DOMException("Out of memory");
    return std::make_shared<PugiNode>(tree_, n);
  }
  void Serialise(const char* encoding, const ByteSink& sink);

  TreeRef tree_;
  DOMDocument libxml_;
  DOMParseSettings settings_;
  DOMParseError error_;
  std::weak_ptr<PugiDocument> self_;
  size_t sourceSize_ = 0;
  const char* why_ = nullptr;  // what sent the last load to libxml2
};

bool PugiDocument::isSameNode(const IDOMNode& other) const {
  if (libxml_) return libxml_->isSameNode(other) || &other == this;
  if (&other == this) return true;
  auto* o = dynamic_cast<const PugiDocument*>(&other);
  if (o && !o->libxml_) return o->tree_ == tree_;
  auto* n = dynamic_cast<const PugiNode*>(&other);
  return n && n->isSameNode(PugiNode(tree_, tree_->doc));
}

DOMDocument PugiBase::ownerDocument() const {
  if (auto doc = tree_->owner.lock()) {
    auto* d = static_cast<PugiDocument*>(doc.get());
    if (d->TreeOf() == tree_) return doc;
  }
  // A tree its document object has let go of (reloaded): a view of its own.
  auto view = std::make_shared<PugiDocument>(tree_);
  view->Adopt(view);
  return view;
}

const unsigned kParseOptions = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_wconv_attribute |
                               pugi::parse_eol | pugi::parse_comments | pugi::parse_pi | pugi::parse_ws_pcdata;

// Blank text under xml:space="preserve" stays visible, as libxml2 decides while
// it parses: the one thing about a document only its tree tells.
void ShowPreservedBlanks(Tree& tree) {
  if (tree.text.find("xml:space") == std::string::npos) return;
  std::vector<std::pair<pugi::xml_node, bool>> pending{{tree.doc, false}};
  while (!pending.empty()) {
    auto [n, preserve] = pending.back();
    pending.pop_back();
    if (n.type() == pugi::node_pcdata) {
      if (preserve && IsBlankText(n.value())) tree.shownBlanks.insert(n.internal_object());
      continue;
    }
    if (n.type() == pugi::node_element)
      for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
        if (std::strcmp(a.name(), "xml:space") == 0) preserve = std::strcmp(a.value(), "preserve") == 0;
    for (pugi::xml_node c = n.last_child(); c; c = c.previous_sibling()) pending.emplace_back(c, preserve);
  }
}

bool PugiDocument::Parse(PugiInput& in) {
  why_ = in.handOver ? in.handOver : "no text";
  if (in.handOver || in.text.empty()) return false;
  auto tree = std::make_shared<Tree>();
  tree->text = std::move(in.text);
  tree->doc.reset();
  pugi::xml_parse_result parsed =
      tree->doc.load_buffer_inplace(&tree->text[0], tree->text.size(), kParseOptions, pugi::encoding_utf8);
  why_ = "pugixml refused it";
  if (!parsed) return false;
  why_ = nullptr;
  tree->hideBlanks = !settings_.preserveWhiteSpace;
  ShowPreservedBlanks(*tree);
  tree->sourceEncodingKnown = !in.encoding.empty();
  if (in.declared) {
    pugi::xml_node decl = tree->doc.prepend_child(pugi::node_pi);
    if (!decl || !decl.set_name("xml") || !decl.set_value(in.declaration.c_str()))
      throw DOMException("Out of memory");
  }
  tree->holder = tree->doc.append_child(pugi::node_element);
  if (!tree->holder) throw DOMException("Out of memory");
  sourceSize_ = tree->text.size();
  tree_ = std::move(tree);
  tree_->owner = self_;
  return true;
}

bool PugiDocument::loadFile(const std::u16string& fileName) {
  Reset();
  std::string bytes;
  try {
    platform::File file = platform::File::Open(fileName, platform::OpenMode::Read, platform::shareRead);
    const std::int64_t size = file.Size();
    if (size > 0 && size <= platform::kMaxBookText) {
      bytes.resize(size_t(size));
      bytes.resize(file.Read(&bytes[0], bytes.size()));
    }
  } catch (const Exception&) {
    bytes.clear();  // libxml2 tells what went wrong, as it would
  }
  PugiInput in = PrepareBytes(std::move(bytes));
  if (Parse(in)) return true;
  return HandOver([&](IDOMDocument& d) { return d.loadFile(fileName); });
}

bool PugiDocument::loadBytes(const std::string& bytes) {
  Reset();
  if (std::int64_t(bytes.size()) <= platform::kMaxBookText) {
    PugiInput in = PrepareBytes(std::string(bytes));
    if (Parse(in)) return true;
  }
  return HandOver([&](IDOMDocument& d) { return d.loadBytes(bytes); });
}

bool PugiDocument::loadText(const std::u16string& text) {
  Reset();
  if (std::int64_t(text.size()) <= platform::kMaxBookText) {
    PugiInput in = PrepareUtf8Text(WideToUtf8(text));
    if (Parse(in)) {
      tree_->sourceEncodingKnown = false;
      return true;
    }
  }
  return HandOver([&](IDOMDocument& d) { return d.loadText(text); });
}

DOMNode PugiDocument::createElement(const std::u16string& name) {
  if (libxml_) return libxml_->createElement(name);
  std::string n = WideToUtf8(name);
  if (xmlValidateName(reinterpret_cast<const xmlChar*>(n.c_str()), 0) != 0)
    throw DOMException(Format("Invalid element name \"%s\"", n.c_str()));
  pugi::xml_node e = tree_->holder.append_child(pugi::node_element);
  if (!e || !e.set_name(n.c_str())) throw DOMException("Out of memory");
  tree_->noNamespace.insert(e.internal_object());
  return Created(e);
}

DOMNode PugiDocument::createElementNS(const std::u16string& uri, const std::u16string& qualifiedName) {
  if (libxml_) return libxml_->createElementNS(uri, qualifiedName);
  std::string q = WideToUtf8(qualifiedName);
  if (xmlValidateQName(reinterpret_cast<const xmlChar*>(q.c_str()), 0) != 0)
    throw DOMException(Format("Invalid element name \"%s\"", q.c_str()));
  const std::string prefix = PrefixOf(q.c_str());
  pugi::xml_node e = tree_->holder.append_child(pugi::node_element);
  if (!e || !e.set_name(q.c_str())) throw DOMException("Out of memory");
  // Declared on the element until it is placed where the same declaration is in scope.
  pugi::xml_attribute decl = e.append_attribute(prefix.empty() ? "xmlns" : ("xmlns:" + prefix).c_str());
  if (!decl || !decl.set_value(WideToUtf8(uri).c_str())) throw DOMException("Out of memory");
  tree_->ownDeclaration.insert(e.internal_object());
  return Created(e);
}

DOMNode PugiDocument::createAttribute(const std::u16string& name) {
  if (libxml_) return libxml_->createAttribute(name);
  std::string n = WideToUtf8(name);
  if (xmlValidateName(reinterpret_cast<const xmlChar*>(n.c_str()), 0) != 0)
    throw DOMException(Format("Invalid attribute name \"%s\"", n.c_str()));
  return std::make_shared<PugiAttr>(tree_, std::move(n));
}

DOMNode PugiDocument::createTextNode(const std::u16string& data) {
  if (libxml_) return libxml_->createTextNode(data);
  pugi::xml_node t = tree_->holder.append_child(pugi::node_pcdata);
  if (!t || !t.set_value(WideToUtf8(data).c_str())) throw DOMException("Out of memory");
  tree_->shownBlanks.insert(t.internal_object());
  return Created(t);
}

// The encoding the declaration node names, "" for none.
std::string DeclaredEncodingOf(const pugi::xml_document& doc) {
  pugi::xml_node first = doc.first_child();
  if (first.type() != pugi::node_pi || std::strcmp(first.name(), "xml") != 0) return "";
  return DeclValue(std::string_view(first.value()), "encoding", DeclQuote::Either);
}

void PugiDocument::Serialise(const char* encoding, const ByteSink& sink) {
  PugiSaveOptions options;
  options.encoding = encoding ? encoding : DeclaredEncodingOf(tree_->doc);
  options.sourceEncodingKnown = tree_->sourceEncodingKnown;
  // A failing sink fails the save as it does with libxml2.
  bool sinkFailed = false;
  try {
    SavePugiTree(tree_->doc, tree_->holder, options, [&](const char* data, size_t size) {
      try {
        sink(data, size);
      } catch (...) {
        sinkFailed = true;
        throw;
      }
    });
  } catch (...) {
    if (sinkFailed) throw DOMException("The document could not be saved");
    throw;
  }
}

std::string PugiDocument::saveBytes() {
  if (libxml_) return libxml_->saveBytes();
  std::string out;
  out.reserve(sourceSize_ + sourceSize_ / 16 + 256);
  Serialise(nullptr, [&out](const char* data, size_t size) { out.append(data, size); });
  return out;
}

void PugiDocument::saveBytes(const ByteSink& sink) {
  if (libxml_) return libxml_->saveBytes(sink);
  Serialise(nullptr, sink);
}

std::u16string PugiDocument::xml() {
  if (libxml_) return libxml_->xml();
  std::string out;
  Serialise("UTF-8", [&out](const char* data, size_t size) { out.append(data, size); });
  return Utf8ToWide(out);
}

class PugiImplementation : public IDOMImplementation {
 public:
  DOMDocument createDocument() override {
    auto doc = std::make_shared<PugiDocument>();
    doc->Adopt(doc);
    return doc;
  }
};

}  // namespace

const char* PugiHandOverReason(const IDOMDocument& doc) {
  auto* d = dynamic_cast<const PugiDocument*>(&doc);
  return d ? d->HandOverReason() : nullptr;
}

// On Linux the fast reader comes first; libxml2 stays registered, for the
// documents handed over to it and for comparison.
void RegisterPlatformDOM() {
  RegisterDOMVendor("pugixml", std::make_shared<PugiImplementation>());
  RegisterLibxmlDOM();
}

}  // namespace velarin::xml
