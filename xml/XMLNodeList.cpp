// Node lists: name matching, by-name access with auto-creation, inserting and removing.
#include <memory>

#include "platform/codepage.h"
#include "xml/XMLDoc.h"
#include "xml/docbusy.h"
#include "xml/xmlutil.h"

namespace velarin::xml {
namespace {

[[noreturn]] void IndexError(int index) {
  throw EListError(Format("List index out of bounds (%d)", index));
}

// Shorter lists are scanned: the index would cost more than it saves.
constexpr size_t kIndexedListSize = 16;

TXMLNode* RequireOwner(TXMLNode* owner) {
  // A list whose owner has gone can still be read, not edited.
  if (!owner) throw EXMLDocError("No active document");
  return owner;
}

// The document's root node: its element children are document elements.
bool IsRootNode(const TXMLNode* owner) {
  return owner->OwnerDoc() && owner->DOMNodeRef()->nodeType() == nkDocument;
}

}  // namespace

TXMLNodeList::TXMLNodeList(TXMLNode* owner, Kind kind, std::u16string defaultNamespace)
    : owner_(owner), kind_(kind), defaultNamespace_(std::move(defaultNamespace)) {}

IXMLNode TXMLNodeList::Item(int index) {
  if (index < 0 || index >= NodeCount()) IndexError(index);
  return items_[size_t(index)];
}

IXMLNode TXMLNodeList::Item(const std::u16string& name) {
  if (IXMLNode n = Lookup(name)) return n;
  TXMLDocument* d = owner_ ? owner_->OwnerDoc() : nullptr;
  if (d && d->HasOption(doNodeAutoCreate)) {
    TDocBusy busy(d);
    IXMLNode n;
    if (kind_ == Kind::Children) {
      owner_->NodeChange(ncInsertChild, true);
      n = owner_->NewChild(name, -1);
    } else {
      owner_->NodeChange(ncAddAttribute, true);
      n = d->CreateNode(name, nkAttribute);
      if (n) InsertAt(-1, n);
    }
    if (n) return n;
  }
  throw EXMLDocError(Format("Node \"%s\" not found", platform::WideToSys(name).c_str()));
}

IXMLNode TXMLNodeList::Item(const std::variant<int, std::u16string>& indexOrName) {
  if (const int* i = std::get_if<int>(&indexOrName)) return Item(*i);
  return Item(std::get<std::u16string>(indexOrName));
}

bool TXMLNodeList::WantsIndex() noexcept {
  if (index_) return true;
  if (items_.size() < kIndexedListSize) return false;
  // the first scan may stop early; a second one on the same items pays for the index
  return ++scansSinceChange_ >= 2;
}

void TXMLNodeList::BuildIndexes() {
  auto index = std::make_unique<TNameIndex>();
  index->first.reserve(items_.size() * 2);
  for (size_t i = 0; i < items_.size(); ++i) {
    const TXMLNode& node = *items_[i];
    const std::u16string& qname = node.CachedQName();
    index->byQName[qname].push_back(int(i));
    if (!defaultNamespace_.empty() && !SameNamespace(node.CachedNamespaceURI(), defaultNamespace_)) continue;
    // the first node wins, by either of its names, as in the scan below
    index->first.try_emplace(qname, int(i));
    index->first.try_emplace(node.CachedLocalName(), int(i));
  }
  index_ = std::move(index);
}

void TXMLNodeList::DropIndexes() noexcept {
  index_.reset();
  scansSinceChange_ = 0;
}

int TXMLNodeList::FindIndex(const std::u16string& name, const std::u16string& namespaceURI) {
  if (namespaceURI == defaultNamespace_ && WantsIndex()) {
    if (!index_) BuildIndexes();
    const auto it = index_->first.find(name);
    return it == index_->first.end() ? -1 : it->second;
  }
  const size_t n = items_.size();
  for (size_t i = 0; i < n; ++i) {
    const TXMLNode& node = *items_[i];
    if (!namespaceURI.empty() && !SameNamespace(node.CachedNamespaceURI(), namespaceURI)) continue;
    if (node.CachedQName() == name || node.CachedLocalName() == name) return int(i);
  }
  return -1;
}

int TXMLNodeList::IndexOfNamed(const std::u16string& qname, int n) {
  if (n < 0) return -1;
  if (WantsIndex()) {
    if (!index_) BuildIndexes();
    const auto it = index_->byQName.find(qname);
    return it == index_->byQName.end() || size_t(n) >= it->second.size() ? -1 : it->second[size_t(n)];
  }
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i]->CachedQName() == qname && n-- == 0) return int(i);
  return -1;
}

int TXMLNodeList::CountNamed(const std::u16string& qname) {
  if (WantsIndex()) {
    if (!index_) BuildIndexes();
    const auto it = index_->byQName.find(qname);
    return it == index_->byQName.end() ? 0 : int(it->second.size());
  }
  int count = 0;
  for (const IXMLNode& node : items_)
    if (node->CachedQName() == qname) ++count;
  return count;
}

IXMLNode TXMLNodeList::Lookup(const std::u16string& name) {
  return Lookup(name, defaultNamespace_);
}

IXMLNode TXMLNodeList::Lookup(const std::u16string& name, const std::u16string& namespaceURI) {
  int i = FindIndex(name, namespaceURI);
  return i < 0 ? nullptr : items_[size_t(i)];
}

int TXMLNodeList::RemoveAt(int index) {
  if (index < 0 || index >= NodeCount()) IndexError(index);
  TXMLNode* owner = RequireOwner(owner_);
  TDocBusy busy(owner->OwnerDoc());
  const TNodeChange change = kind_ == Kind::Children ? ncRemoveChild : ncRemoveAttribute;
  owner->NodeChange(change, true);
  IXMLNode node = items_[size_t(index)];  // keeps it valid for whoever holds it
  if (updateCount_ == 0) {
    if (kind_ == Kind::Children) {
      owner->dom_->removeChild(node->dom_);
      node->parent_ = nullptr;
      node->SetDocElement(false);
    } else {
      owner->dom_->removeAttributeNode(node->dom_);
    }
  } else {
    diverged_ = true;
  }
  DropIndexes();
  items_.erase(items_.begin() + index);
  owner->NodeChange(change, false);
  return index;
}

int TXMLNodeList::RemoveNamed(const std::u16string& name) {
  return RemoveNamed(name, defaultNamespace_);
}

int TXMLNodeList::RemoveNamed(const std::u16string& name, const std::u16string& namespaceURI) {
  int i = FindIndex(name, namespaceURI);
  return i < 0 ? -1 : RemoveAt(i);
}

int TXMLNodeList::RemoveNode(const IXMLNode& node) {
  int i = IndexOf(node);
  return i < 0 ? -1 : RemoveAt(i);
}

int TXMLNodeList::InsertAt(int index, const IXMLNode& node) {
  if (!node) throw EXMLDocError("IDOMNode required");
  TXMLNode* owner = RequireOwner(owner_);
  TDocBusy busy(owner->OwnerDoc());
  const TNodeChange change = kind_ == Kind::Children ? ncInsertChild : ncAddAttribute;
  owner->NodeChange(change, true);
  // The index is checked before the DOM changes, so a refused index changes nothing.
  if (index < -1 || index > NodeCount()) IndexError(index);
  DropIndexes();
  if (updateCount_ == 0) {
    if (kind_ == Kind::Children) {
      // While the list follows the DOM its items are the DOM children, in order.
      DOMNodes domKids;
      size_t count = items_.size();
      if (diverged_) {
        domKids = owner->dom_->childNodes();
        count = domKids.size();
      }
      if (unsigned(index) < count) {
        const DOMNode& ref = diverged_ ? domKids[size_t(index)] : items_[size_t(index)]->dom_;
        owner->dom_->insertBefore(node->dom_, ref);
      } else {
        owner->dom_->appendChild(node->dom_);
      }
      node->parent_ = owner;
      if (node->Kind() == nkElement && IsRootNode(owner)) node->SetDocElement(true);
    } else {
      DOMNode replaced = owner->dom_->setAttributeNode(node->dom_);
      if (replaced) {
        // The attribute it replaced leaves the list with it.
        for (size_t i = 0; i < items_.size(); ++i)
          if (items_[i]->dom_->isSameNode(*replaced)) {
            items_.erase(items_.begin() + i);
            if (index > int(i)) --index;
            break;
          }
      }
    }
  } else {
    diverged_ = true;
  }
  int at;
  if (index == -1 || index >= NodeCount()) {
    items_.push_back(node);
    at = NodeCount() - 1;
  } else {
    items_.insert(items_.begin() + index, node);
    at = index;
  }
  owner->NodeChange(change, false);
  return at;
}

IXMLNode TXMLNodeList::First() { return items_.empty() ? nullptr : items_.front(); }
IXMLNode TXMLNodeList::Last() { return items_.empty() ? nullptr : items_.back(); }

int TXMLNodeList::IndexOf(const IXMLNode& node) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i] == node) return int(i);
  return -1;
}

int TXMLNodeList::IndexOf(const std::u16string& name) { return FindIndex(name, defaultNamespace_); }

int TXMLNodeList::IndexOf(const std::u16string& name, const std::u16string& namespaceURI) {
  return FindIndex(name, namespaceURI);
}

}  // namespace velarin::xml
