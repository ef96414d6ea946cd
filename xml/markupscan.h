// A byte scan of markup run ahead of the parser, refusing what the parsers
// would take quadratic time over. Shared by both DOM back-ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace velarin::xml {

// Bounds far above any real book (a FictionBook root carries two or three
// declarations, an element a handful of attributes, nesting stays under fifty):
// libxml2 checks an element's attributes against each other and looks
// namespaces and ancestors up by walking lists, so past these a few hundred
// kilobytes of markup cost minutes.
constexpr std::uint32_t kMaxAttributes = 10000;          // on one element, xmlns ones included
constexpr std::uint32_t kMaxNamespacesInScope = 10000;  // declarations visible at one element
constexpr std::uint32_t kMaxDepth = 10000;              // elements open at once
// Below those, the walks an element costs (attributes squared, plus attributes
// times depth and declarations in scope) are kept in proportion to the bytes:
// a fixed allowance plus this much per byte read so far.
constexpr std::uint64_t kMarkupWorkAllowance = std::uint64_t(1) << 28;
constexpr std::uint64_t kMarkupWorkPerByte = 8;

// Counts only ASCII '<', '>', '=', '/', '!', '?', '-', '[', ']' and quotes, so any
// ASCII-compatible code page scans as it is; UTF-16 and UCS-4 are recognised by
// their first bytes and scanned a code unit at a time.
class MarkupScan {
 public:
  // Scans the next bytes; false once a bound is passed (and from then on).
  bool Feed(const char* data, std::size_t size);
  // Scans 16-bit text (the document as characters).
  bool Feed(const char16_t* text, std::size_t size);

  // Attribute defaults a DTD declared: the parser goes through them on every
  // element of their name, so they count on every element (xmlns ones also as
  // declarations in scope).
  void AddDefaults(std::uint32_t attributes, std::uint32_t declarations) {
    defaults_ += attributes;
    nsDefaults_ += declarations;
  }

  bool Refused() const { return refusal_ != nullptr; }
  const char* Reason() const { return refusal_; }
  int Line() const { return line_; }

 private:
  enum class State : std::uint8_t {
    Text, Open, Bang, Comment, CData, PI, EndTag, StartTag, Quoted,
    Doctype, Subset, SubsetOpen, SubsetDecl, SubsetComment, SubsetPI,
  };
  // One character, dispatched by the state to its step.
  void Unit(std::uint32_t c);
  void Quoted(std::uint32_t quote, State after);  // a quoted value starts; after it, state after
  void OpenChar(std::uint32_t c);
  void BangChar(std::uint32_t c);
  void CommentChar(std::uint32_t c);
  void CDataChar(std::uint32_t c);
  void EndTag();
  void DoctypeChar(std::uint32_t c);
  void SubsetChar(std::uint32_t c);
  void SubsetDeclChar(std::uint32_t c);
  void StartTagChar(std::uint32_t c);
  void EndOfStartTag(bool empty);
  void Refuse(const char* reason);
  bool DetectWidth(const unsigned char* b, std::size_t n);

  State state_ = State::Text;
  State afterQuote_ = State::Text;
  std::uint32_t quote_ = 0;
  std::string bang_;        // what follows "<!" until the construct is known
  std::uint32_t run_ = 0;   // closing characters seen in a row ('-', ']', '?')
  bool slash_ = false;      // the last character of a start tag was '/'
  bool inName_ = false;     // a name is being read inside a start tag
  char token_[7] = {};      // the start of the attribute name being read
  std::uint32_t tokenLen_ = 0;
  std::uint32_t attributes_ = 0;  // on the open start tag
  std::uint32_t declared_ = 0;    // of them, namespace declarations
  std::uint64_t defaults_ = 0, nsDefaults_ = 0;
  std::uint32_t depth_ = 0;
  std::uint32_t inScope_ = 0;
  // (depth, count) for each open element that declares namespaces
  std::vector<std::pair<std::uint32_t, std::uint32_t>> scopes_;
  std::uint64_t work_ = 0;
  std::uint64_t bytes_ = 0;
  int line_ = 1;
  const char* refusal_ = nullptr;

  // code unit width and order, settled by the first bytes
  int width_ = 0;
  bool bigEndian_ = false;
  unsigned char pending_[4] = {};
  std::size_t pendingLen_ = 0;
};

}  // namespace velarin::xml
