// The abstract DOM binding the document layer works through, and the back-end registry.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/exception.h"

namespace velarin::xml {

// Node kinds in the DOM numbering.
enum NodeKind : int {
  nkElement = 1,
  nkAttribute = 2,
  nkText = 3,
  nkCData = 4,
  nkEntityRef = 5,
  nkEntity = 6,
  nkProcessingInstr = 7,
  nkComment = 8,
  nkDocument = 9,
  nkDocType = 10,
  nkDocFragment = 11,
  nkNotation = 12,
};

// "Node cannot be null", "Microsoft MSXML is not installed", unsupported members.
class DOMException : public Exception {
  using Exception::Exception;
};

class IDOMNode;
class IDOMDocument;
using DOMNode = std::shared_ptr<IDOMNode>;
using DOMDocument = std::shared_ptr<IDOMDocument>;
using DOMNodes = std::vector<DOMNode>;

// One platform node. A reference keeps the node and its tree alive.
//
// Blank text between elements: a parsed text node made only of blanks (space,
// tab, CR, LF) outside xml:space="preserve" stays in the tree, so a save writes
// the book back with every blank where it was, but it is hidden: childNodes(),
// hasChildNodes() and plainTextLength() never see it. Edits keep the blanks
// right: a new element or comment takes the blank in front of its siblings as
// its indentation, a removed child takes the blank in front of it along, and
// hidden blanks next to new text or CDATA go (they would read back as part of
// it). Text nodes made by createTextNode are never hidden. With
// preserveWhiteSpace in the parse settings nothing is hidden.
class IDOMNode {
 public:
  virtual ~IDOMNode() = default;
  virtual std::u16string nodeName() const = 0;  // qualified name; "#text" and the like
  virtual std::u16string localName() const = 0;
  virtual std::u16string namespaceURI() const = 0;  // "" when none
  virtual std::u16string prefix() const = 0;        // "" when none
  virtual int nodeType() const = 0;
  virtual std::u16string nodeValue() const = 0;  // "" for kinds without a value
  virtual void setNodeValue(const std::u16string& value) = 0;
  virtual DOMNodes childNodes() const = 0;       // the children, in order
  virtual bool hasAttributeMap() const = 0;      // elements only
  virtual DOMNodes attributes() const = 0;       // the attribute collection, in order
  virtual bool hasChildNodes() const = 0;
  virtual DOMDocument ownerDocument() const = 0;  // none for the document itself
  // refChild none raises DOMException "Node cannot be null".
  virtual DOMNode insertBefore(const DOMNode& newChild, const DOMNode& refChild) = 0;
  virtual DOMNode appendChild(const DOMNode& newChild) = 0;
  virtual DOMNode removeChild(const DOMNode& child) = 0;
  virtual DOMNode setAttributeNode(const DOMNode& attr) = 0;  // answers the replaced one or none
  virtual DOMNode removeAttributeNode(const DOMNode& attr) = 0;
  // Same platform node.
  virtual bool isSameNode(const IDOMNode& other) const = 0;
  // Length in 16-bit units of the text of every element at or below this node
  // whose only child is one text node (not CDATA): the body text count. The
  // default walks childNodes() without recursion; a back-end may walk its own tree.
  virtual std::int64_t plainTextLength() const;
};

inline std::int64_t IDOMNode::plainTextLength() const {
  std::int64_t total = 0;
  DOMNodes pending;
  const IDOMNode* current = this;
  DOMNode held;
  for (;;) {
    const bool element = current->nodeType() == nkElement;
    if (element || current->hasChildNodes()) {
      DOMNodes children = current->childNodes();
      if (element && children.size() == 1 && children[0]->nodeType() == nkText) {
        total += std::int64_t(children[0]->nodeValue().size());
      } else {
        for (DOMNode& child : children)
          if (child->nodeType() == nkElement || child->hasChildNodes()) pending.push_back(std::move(child));
      }
    }
    if (pending.empty()) break;
    held = std::move(pending.back());
    pending.pop_back();
    current = held.get();
  }
  return total;
}

// Parse settings applied before every load.
struct DOMParseSettings {
  bool async = false;
  bool preserveWhiteSpace = false;
  bool resolveExternals = false;
  bool validate = false;
};

// What the platform tells about a failed parse.
struct DOMParseError {
  std::u16string reason;
  int line = 0;
  std::u16string srcText;  // the offending source line, or an excerpt of it
};

// A platform document.
class IDOMDocument : public IDOMNode {
 public:
  virtual DOMNode createElement(const std::u16string& name) = 0;
  virtual DOMNode createElementNS(const std::u16string& uri, const std::u16string& qualifiedName) = 0;
  virtual DOMNode createAttribute(const std::u16string& name) = 0;
  virtual DOMNode createTextNode(const std::u16string& data) = 0;

  virtual void setParseSettings(const DOMParseSettings& settings) = 0;
  // Each load replaces the content and answers false on a parse failure,
  // after which parseError() tells why.
  virtual bool loadFile(const std::u16string& fileName) = 0;
  virtual bool loadBytes(const std::string& bytes) = 0;  // encoding from mark or declaration
  virtual bool loadText(const std::u16string& text) = 0;
  virtual const DOMParseError& parseError() const = 0;

  // The document as bytes in the encoding its XML declaration names.
  virtual std::string saveBytes() = 0;
  // The same bytes handed to sink piece by piece, so that a large document is
  // never held twice; the default hands over saveBytes() in one piece.
  using ByteSink = std::function<void(const char* data, size_t size)>;
  virtual void saveBytes(const ByteSink& sink) {
    std::string all = saveBytes();
    sink(all.data(), all.size());
  }
  // The document as 16-bit text.
  virtual std::u16string xml() = 0;
  // How many bytes the document was parsed from (0: not known): a size hint for saving.
  virtual size_t sourceSize() const { return 0; }
};

// A back-end: makes new, empty documents.
class IDOMImplementation {
 public:
  virtual ~IDOMImplementation() = default;
  virtual DOMDocument createDocument() = 0;
};

// Back-end registry. The default is the back-end VELARIN_DOM names, when set and
// registered, else the first registered.
// Raises Exception ""%s" DOMImplementation already registered".
void RegisterDOMVendor(const std::string& description, std::shared_ptr<IDOMImplementation> impl);
void UnregisterDOMVendor(const std::string& description);
// Empty description: the default. Raises Exception "No matching DOM Vendor: "%s"".
std::shared_ptr<IDOMImplementation> GetDOM(const std::string& description = "");

// Registers this platform's back-end ("libxml2" on Linux, "MSXML" on Windows);
// the registry calls it once, before its first use, so that it comes first.
void RegisterPlatformDOM();

}  // namespace velarin::xml
