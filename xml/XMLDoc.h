// XML document layer: documents, nodes and node lists over the platform DOM.
#pragma once
#include <cstdint>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "platform/exception.h"
#include "xml/refcount.h"
#include "xml/xmldom.h"

namespace velarin::xml {

// Failures of the document layer ("Node "%s" not found", "No active document", ...).
class EXMLDocError : public Exception {
  using Exception::Exception;
};

// A failed parse; the message is built with "%s%s%s: %d%s%s".
class EDOMParseError : public EXMLDocError {
 public:
  EDOMParseError(std::string message, DOMParseError error)
      : EXMLDocError(std::move(message)), error_(std::move(error)) {}
  const DOMParseError& ParseError() const noexcept { return error_; }

 private:
  DOMParseError error_;
};

// A nullable 16-bit string: callers turn null into "".
using Value = std::optional<std::u16string>;

enum TXMLDocOption : int {
  doNodeAutoCreate = 0,
  doNodeAutoIndent = 1,
  doAttrNull = 2,
  doAutoPrefix = 3,
  doNamespaceDecl = 4,
  doAutoSave = 5,
};
// A set of TXMLDocOption, one bit each (bit n = option n).
using TXMLDocOptions = std::uint8_t;
constexpr TXMLDocOptions DocOption(TXMLDocOption o) { return TXMLDocOptions(1u << o); }
constexpr TXMLDocOptions kDefaultDocOptions = 0x1D;

enum TParseOption : int {
  poResolveExternals = 0,
  poValidateOnParse = 1,
  poPreserveWhiteSpace = 2,
  poAsyncLoad = 3,
};
using TParseOptions = std::uint8_t;
constexpr TParseOptions ParseOption(TParseOption o) { return TParseOptions(1u << o); }

enum TNodeChange { ncUpdateValue, ncInsertChild, ncRemoveChild, ncAddAttribute, ncRemoveAttribute };

enum TSourceKind : int { skNone = 0, skLines = 1, skXMLData = 2, skFile = 3, skStream = 4 };

class TXMLNode;
class TXMLNodeList;
class TXMLDocument;
using IXMLNode = Ref<TXMLNode>;
using IXMLNodeList = Ref<TXMLNodeList>;
using IXMLDocument = Ref<TXMLDocument>;

// The non-owning link from node objects to their document, shared by every node
// of one tree; the document cuts it when it lets the tree go, so node objects
// that outlive their tree or document never reach a dead document.
struct TDocLink : TRefCounted {
  TXMLDocument* doc = nullptr;
};

// One wrapped DOM node. Parent and document links do not own; the node owns
// its child and attribute lists once built.
class TXMLNode : public TRefCounted {
 public:
  // Raises EXMLDocError "IDOMNode required" when dom is empty.
  TXMLNode(DOMNode dom, TXMLNode* parent, TXMLDocument* doc);

  // A document element counts every reference beyond its first as one to its document.
  void AddRef() noexcept override;
  void Release() noexcept override;

  // The cached child list (built on first use).
  IXMLNodeList Children();
  // The cached attribute list (built on first use; empty for non-elements).
  IXMLNodeList Attrs();

  // Attribute value by name; raises "Attributes are not supported on this node type" for non-elements.
  Value Attribute(const std::u16string& name);
  void SetAttribute(const std::u16string& name, const Value& value);

  // Value of the first child matching name, or null; never creates.
  Value ValueOfChild(const std::u16string& name);
  const DOMNode& DOMNodeRef() const noexcept { return dom_; }
  // The DOM node has at least one child of any kind.
  bool HasChildren() const;
  // An element with exactly one DOM child, which is a text node (not CDATA).
  bool IsPlainText() const;

  std::u16string LocalName() const;
  std::u16string NamespaceURI() const;
  std::u16string QualifiedName() const;
  std::u16string Prefix() const;
  int Kind() const;
  // TextValue, but null when that is empty.
  Value GetValue();
  void SetValue(const Value& v);
  TXMLDocument* OwnerDoc() const noexcept { return link_ ? link_->doc : nullptr; }
  TXMLNode* Parent() const noexcept { return parent_; }
  bool ReadOnly() const noexcept { return readOnly_; }
  void SetReadOnly(bool r) noexcept { readOnly_ = r; }
  bool IsDocumentElement() const noexcept { return isDocElement_; }

  // The single-text rule: an element's one text or CDATA child, created empty when it has none.
  std::u16string TextValue();
  void SetTextValue(const std::u16string& v);

  // New element child at index (-1: at the end), with the parent's namespace and prefix,
  // or the namespace declared for the prefix of a qualified name.
  IXMLNode NewChild(const std::u16string& name, int index = -1);
  IXMLNode NewChildNS(const std::u16string& name, const std::u16string& namespaceURI, int index = -1);

  // Finds the URI declared for prefix on this node or an ancestor ("" when none).
  std::u16string FindNamespaceURI(const std::u16string& prefix);

  IXMLNode NextSibling();
  IXMLNode PreviousSibling();

  // Reports a change to the document: ChangeCount + 1, read-only check, events.
  void NodeChange(TNodeChange kind, bool before);

 private:
  friend class TXMLNodeList;
  friend class TXMLDocument;
  ~TXMLNode() override;
  DOMNode RequireOneTextChild();  // the single-text rule
  // The encoding the document's declaration names ("" for none, "?" when unknown).
  std::string DocumentEncoding() const;
  // Puts a text node holding v in place of the CDATA section child cdata.
  void ReplaceByText(const DOMNode& cdata, const std::u16string& v);
  // Turns the document-element rule on or off, moving the document references it counts.
  void SetDocElement(bool on) noexcept;
  // The names, read from the DOM once (they never change) so that look-ups do not allocate.
  const std::u16string& CachedQName() const;
  const std::u16string& CachedLocalName() const;
  const std::u16string& CachedNamespaceURI() const;

  DOMNode dom_;
  TXMLNode* parent_ = nullptr;
  Ref<TDocLink> link_;
  IXMLNodeList children_;
  IXMLNodeList attrs_;
  mutable std::u16string qname_, localName_, nsURI_;
  mutable std::uint8_t cached_ = 0;  // bits: 1 qualified name, 2 local name, 4 namespace URI
  bool readOnly_ = false;
  bool isDocElement_ = false;
};

// An ordered list of node objects: the children or the attributes of its owner.
class TXMLNodeList : public TRefCounted {
 public:
  enum class Kind { Children, Attributes };
  TXMLNodeList(TXMLNode* owner, Kind kind, std::u16string defaultNamespace);

  int NodeCount() const noexcept { return int(items_.size()); }
  // By index: raises EListError "List index out of bounds (%d)".
  IXMLNode Item(int index);
  // By name: Lookup, then auto-creation, then EXMLDocError "Node "%s" not found".
  IXMLNode Item(const std::u16string& name);
  IXMLNode Item(const std::variant<int, std::u16string>& indexOrName);
  // A name literal, which would otherwise fit both the string and the variant.
  IXMLNode Item(const char16_t* name) { return Item(std::u16string(name)); }
  IXMLNode Get(int index) { return Item(index); }

  // First node matching name in DefaultNamespace, or none.
  IXMLNode Lookup(const std::u16string& name);
  // First node matching name in namespaceURI (empty: any namespace), or none.
  IXMLNode Lookup(const std::u16string& name, const std::u16string& namespaceURI);

  // Answers the index the removed node had.
  int RemoveAt(int index);
  // Removes Lookup(name); -1 with no change when nothing matches.
  int RemoveNamed(const std::u16string& name);
  int RemoveNamed(const std::u16string& name, const std::u16string& namespaceURI);
  int RemoveNode(const IXMLNode& node);
  // Inserts at index (-1: at the end); answers the index it got.
  int InsertAt(int index, const IXMLNode& node);
  int Append(const IXMLNode& node) { return InsertAt(-1, node); }

  IXMLNode First();
  IXMLNode Last();
  int IndexOf(const IXMLNode& node) const;
  int IndexOf(const std::u16string& name);
  int IndexOf(const std::u16string& name, const std::u16string& namespaceURI);

  // Index of the n-th node (0: the first) whose qualified name is qname exactly, or -1.
  int IndexOfNamed(const std::u16string& qname, int n);
  // How many nodes have the qualified name qname exactly.
  int CountNamed(const std::u16string& qname);

  const std::u16string& DefaultNamespace() const noexcept { return defaultNamespace_; }
  TXMLNode* Owner() const noexcept { return owner_; }
  Kind ListKind() const noexcept { return kind_; }
  int UpdateCount() const noexcept { return updateCount_; }
  void BeginUpdate() noexcept { ++updateCount_; }
  void EndUpdate() noexcept { --updateCount_; }

 private:
  friend class TXMLNode;
  friend class TXMLDocument;
  int FindIndex(const std::u16string& name, const std::u16string& namespaceURI);
  // A long list asked by name again (a template's placeholders, a host reading every
  // occurrence) gets name indexes, so each later look-up costs no scan of it. Keys
  // view the names the items cache; every change of the items drops the indexes.
  bool WantsIndex() noexcept;
  void BuildIndexes();
  void DropIndexes() noexcept;

  struct TNameIndex {
    std::unordered_map<std::u16string_view, int> first;  // FindIndex in the default namespace
    std::unordered_map<std::u16string_view, std::vector<int>> byQName;
  };

  std::vector<IXMLNode> items_;
  std::unique_ptr<TNameIndex> index_;  // only long lists asked again have one
  int scansSinceChange_ = 0;
  TXMLNode* owner_;
  Kind kind_;
  std::u16string defaultNamespace_;
  int updateCount_ = 0;
  bool diverged_ = false;  // an edit under BeginUpdate left the DOM behind
  TXMLNodeList* nextPending_ = nullptr;  // in the queue of lists waiting to be released
};

// The XML lines: 8-bit text kept as lines, each line followed by CR LF.
class TXMLLines {
 public:
  int Count() const;
  std::string Line(int index) const;  // raises EListError for a bad index
  // The lines joined, each followed by CR LF.
  const std::string& Text() const noexcept { return text_; }
  // Replaces the lines by the split rule (CR LF, CR, LF; stops at NUL);
  // runs the change hook first.
  void SetText(std::string_view text);
  void Clear();  // runs the change hook
  bool Empty() const noexcept { return text_.empty(); }
  // Writes Text() to the file, creating or truncating it.
  void SaveToFile(const std::u16string& fileName) const;

 private:
  friend class TXMLDocument;
  // The layer's own writes: no hook.
  void Assign(std::string_view text);
  void AssignNormalized(std::string&& text);

  std::string text_;                        // every line followed by CR LF
  mutable std::vector<size_t> offsets_;     // line starts, built on demand
  mutable bool offsetsValid_ = false;
  std::function<void()> changeHook_;
  TXMLDocument* owner_ = nullptr;           // kept alive while the hook runs
};

// One parsed XML document with the text it came from or goes to.
class TXMLDocument : public TRefCounted {
 public:
  // Sets the defaults. A non-empty name is loaded at once; a parse failure escapes.
  explicit TXMLDocument(const std::u16string& fileName = u"");
  static IXMLDocument Create(const std::u16string& fileName = u"") {
    return IXMLDocument(new TXMLDocument(fileName));
  }

  // A release that ends the last reference during the document's own work
  // (closing drops the references a held document element counted) waits for it to finish.
  void Release() noexcept override;

  bool Active() const noexcept { return bool(domDoc_); }
  void SetActive(bool active);

  // Top-level nodes; raises "No active document" while closed.
  IXMLNodeList Children();
  IXMLNode RootNode();
  // The last element among the top-level nodes, or none.
  IXMLNode DocumentElement();
  const DOMDocument& DOMDocumentRef() const noexcept { return domDoc_; }

  // The encoding named in the XML declaration, as written; "" when none.
  std::u16string DeclaredEncoding();

  const std::u16string& FileName() const noexcept { return fileName_; }
  void SetFileName(const std::u16string& name);

  TXMLDocOptions Options() const noexcept { return options_; }
  void SetOptions(TXMLDocOptions o) noexcept { options_ = o; }
  bool HasOption(TXMLDocOption o) const noexcept { return (options_ & DocOption(o)) != 0; }
  TParseOptions ParseOptions() const noexcept { return parseOptions_; }
  void SetParseOptions(TParseOptions o) noexcept { parseOptions_ = o; }

  // The XML lines; refreshed from the document first while it is open.
  TXMLLines& XML();

  void LoadFile(const std::u16string& name);
  void LoadFromXML(const std::u16string& data);  // 16-bit text
  void LoadFromStream(std::istream& stream);     // borrowed until the load
  void LoadFromBytes(std::string_view bytes);    // 8-bit text parsed as bytes

  // The document as 8-bit text (re-encoded as UTF-8 unless 8-bit or UTF-8).
  std::string XmlBytes();
  void SaveToFile(const std::u16string& name);  // platform save; ChangeCount := 0
  std::u16string SaveToXML();                   // 16-bit serialisation
  bool IsEmpty();

  // Node of a kind, made through the DOM document (attribute auto-creation).
  // Raises "Invalid node type" for kinds 0, 6, 9, 10; kinds above 11 give none.
  IXMLNode CreateNode(const std::u16string& name, int kind = nkElement,
                      const std::u16string& namespaceURI = u"");
  IXMLNode CreateElement(const std::u16string& name, const std::u16string& namespaceURI);

  int ChangeCount() const noexcept { return changeCount_; }
  bool Modified() const noexcept { return changeCount_ > 0; }
  int ReadMark() const noexcept { return readMark_; }
  TSourceKind SourceKind() const noexcept { return sourceKind_; }

  const std::string& DOMVendor() const noexcept { return domVendor_; }
  void SetDOMVendor(const std::string& v) { domVendor_ = v; }

  std::function<void()> BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  std::function<void(TXMLNode&, TNodeChange)> BeforeNodeChange, AfterNodeChange;

 private:
  friend class TXMLNode;
  ~TXMLDocument() override;
  void Open();
  void Close();
  void Load();
  bool LoadSource(TSourceKind& kind);
  void Release(bool autoSave);
  void RequireActive() const;
  void RefreshLines();
  void OnLinesChanging();
  void DoNodeChange(TXMLNode& node, TNodeChange kind, bool before);
  void ClearLines();  // empties the lines without the hook
  friend class TXMLLines;
  friend class TDocBusy;

  std::u16string fileName_;
  TXMLLines lines_;
  std::u16string xmlData_;
  std::istream* stream_ = nullptr;
  std::string bytes_;  // pending 8-bit bytes to parse (load from 8-bit text)
  bool haveBytes_ = false;
  DOMDocument domDoc_;
  IXMLNode rootNode_;
  std::shared_ptr<IDOMImplementation> domImpl_;
  std::string domVendor_;
  TXMLDocOptions options_ = kDefaultDocOptions;
  TParseOptions parseOptions_ = 0;
  std::u16string nodeIndentStr_ = u"  ";
  int changeCount_ = 0;
  int readMark_ = -1;
  TSourceKind sourceKind_ = skNone;
  int prefixCounter_ = 0;
  Ref<TDocLink> link_;  // the link the current tree's node objects share
  int busy_ = 0;
  bool pendingDelete_ = false;
};

}  // namespace velarin::xml
