// The markup scan run ahead of the parsers: a small state machine over tags,
// quoted values, comments, CDATA, processing instructions and the DOCTYPE.
#include "xml/markupscan.h"

#include <algorithm>
#include <cstring>

namespace velarin::xml {

namespace {

bool IsSpace(std::uint32_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }
bool IsQuote(std::uint32_t c) { return c == '"' || c == '\''; }

// "--", "[CDATA[" and "DOCTYPE" are the constructs "<!" opens that matter here.
bool Prefixes(const std::string& seen, const char* whole) {
  return seen.size() <= std::strlen(whole) && std::memcmp(seen.data(), whole, seen.size()) == 0;
}

}  // namespace

void MarkupScan::Refuse(const char* reason) {
  if (!refusal_) refusal_ = reason;
}

// The width and order of the code units, from the byte-order mark or the
// way "<" is written; anything else is taken a byte at a time.
bool MarkupScan::DetectWidth(const unsigned char* b, std::size_t n) {
  if (n < 4) return false;
  width_ = 1;
  if (b[0] == 0xFF && b[1] == 0xFE) {
    width_ = b[2] == 0 && b[3] == 0 ? 4 : 2;
  } else if (b[0] == 0xFE && b[1] == 0xFF) {
    width_ = 2, bigEndian_ = true;
  } else if (b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
    width_ = 4, bigEndian_ = true;
  } else if (b[0] == '<' && b[1] == 0 && b[2] == 0 && b[3] == 0) {
    width_ = 4;
  } else if (b[0] == 0 && b[1] == 0 && b[2] == 0 && b[3] == '<') {
    width_ = 4, bigEndian_ = true;
  } else if (b[0] == '<' && b[1] == 0) {
    width_ = 2;
  } else if (b[0] == 0 && b[1] == '<') {
    width_ = 2, bigEndian_ = true;
  }
  return true;
}

bool MarkupScan::Feed(const char* data, std::size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(data);
  std::size_t i = 0;
  if (width_ == 0) {
    while (pendingLen_ < 4 && i < size) pending_[pendingLen_++] = b[i++];
    if (!DetectWidth(pending_, pendingLen_)) return !refusal_;
    // the bytes held back go first, through the same path as the rest
    unsigned char head[4];
    std::size_t headLen = pendingLen_;
    std::memcpy(head, pending_, headLen);
    pendingLen_ = 0;
    if (!Feed(reinterpret_cast<const char*>(head), headLen)) return false;
  }
  bytes_ += size - i;
  if (width_ == 1) {
    while (i < size && !refusal_) {
      // Text and quoted values are most of a book: skipped to their end in bulk,
      // counting only their line breaks.
      if (state_ == State::Text || state_ == State::Quoted) {
        const int stop = state_ == State::Text ? '<' : int(quote_);
        const void* hit = std::memchr(b + i, stop, size - i);
        const std::size_t end = hit ? std::size_t(static_cast<const unsigned char*>(hit) - b) : size;
        line_ += int(std::count(b + i, b + end, '\n'));
        i = end;
        if (i == size) break;
      }
      Unit(b[i++]);
    }
    return !refusal_;
  }
  // A code unit may be split between two calls.
  for (; i < size && !refusal_; ++i) {
    pending_[pendingLen_++] = b[i];
    if (pendingLen_ < std::size_t(width_)) continue;
    std::uint32_t c = 0;
    for (int k = 0; k < width_; ++k) c = c << 8 | pending_[bigEndian_ ? k : width_ - 1 - k];
    pendingLen_ = 0;
    Unit(c);
  }
  return !refusal_;
}

bool MarkupScan::Feed(const char16_t* text, std::size_t size) {
  if (width_ == 0) width_ = 2;
  bytes_ += 2 * std::uint64_t(size);
  for (std::size_t i = 0; i < size && !refusal_; ++i) Unit(text[i]);
  return !refusal_;
}

void MarkupScan::Unit(std::uint32_t c) {
  if (c == '\n') ++line_;
  switch (state_) {
    case State::Text:
      if (c == '<') state_ = State::Open;
      return;
    case State::Open:
      return OpenChar(c);
    case State::Bang:
      return BangChar(c);
    case State::Comment:
    case State::SubsetComment:
      return CommentChar(c);
    case State::CData:
      return CDataChar(c);
    case State::PI:
    case State::SubsetPI:
      if (c == '>' && run_) state_ = state_ == State::PI ? State::Text : State::Subset;
      run_ = c == '?';
      return;
    case State::EndTag:
      if (c == '>') EndTag();
      return;
    case State::StartTag:
      return StartTagChar(c);
    case State::Quoted:
      if (c == quote_) state_ = afterQuote_;
      return;
    case State::Doctype:
      return DoctypeChar(c);
    case State::Subset:
      return SubsetChar(c);
    case State::SubsetOpen:
      bang_.clear();
      run_ = 0;
      state_ = c == '?' ? State::SubsetPI : c == '!' ? State::SubsetDecl : State::Subset;
      return;
    case State::SubsetDecl:
      return SubsetDeclChar(c);
  }
}

void MarkupScan::Quoted(std::uint32_t quote, State after) {
  quote_ = quote, afterQuote_ = after, state_ = State::Quoted;
}

// The character after '<'.
void MarkupScan::OpenChar(std::uint32_t c) {
  if (c == '!') {
    state_ = State::Bang;
    bang_.clear();
  } else if (c == '?') {
    state_ = State::PI;
    run_ = 0;
  } else if (c == '/') {
    state_ = State::EndTag;
  } else {
    state_ = State::StartTag;
    attributes_ = declared_ = 0;
    slash_ = inName_ = false;
    StartTagChar(c);
  }
}

// After "<!", until the construct is known.
void MarkupScan::BangChar(std::uint32_t c) {
  bang_.push_back(c < 0x80 ? char(c) : '\x80');
  run_ = 0;
  if (bang_ == "--")
    state_ = State::Comment;
  else if (bang_ == "[CDATA[")
    state_ = State::CData;
  else if (bang_ == "DOCTYPE" || !(Prefixes(bang_, "--") || Prefixes(bang_, "[CDATA[") || Prefixes(bang_, "DOCTYPE")))
    state_ = State::Doctype;  // anything else is skipped the same way, to its '>'
}

// A comment ends at "-->", in the document or in the internal subset.
void MarkupScan::CommentChar(std::uint32_t c) {
  if (c == '-') {
    ++run_;
  } else {
    if (c == '>' && run_ >= 2) state_ = state_ == State::Comment ? State::Text : State::Subset;
    run_ = 0;
  }
}

void MarkupScan::CDataChar(std::uint32_t c) {
  if (c == ']') {
    ++run_;
  } else {
    if (c == '>' && run_ >= 2) state_ = State::Text;
    run_ = 0;
  }
}

// The '>' of an end tag closes the innermost element and the declarations it made.
void MarkupScan::EndTag() {
  if (depth_ > 0) {
    if (!scopes_.empty() && scopes_.back().first == depth_) {
      inScope_ -= scopes_.back().second;
      scopes_.pop_back();
    }
    --depth_;
  }
  state_ = State::Text;
}

void MarkupScan::DoctypeChar(std::uint32_t c) {
  if (IsQuote(c)) {
    Quoted(c, State::Doctype);
  } else if (c == '[') {
    state_ = State::Subset;
  } else if (c == '>') {
    state_ = State::Text;
  }
}

// Inside the internal subset, between declarations.
void MarkupScan::SubsetChar(std::uint32_t c) {
  if (c == ']') {
    state_ = State::Doctype;
  } else if (c == '<') {
    state_ = State::SubsetOpen;
  } else if (IsQuote(c)) {
    Quoted(c, State::Subset);
  }
}

// A declaration of the internal subset, or a comment once "<!--" shows.
void MarkupScan::SubsetDeclChar(std::uint32_t c) {
  if (bang_.size() < 2) {
    bang_.push_back(c < 0x80 ? char(c) : '\x80');
    if (bang_ == "--") {
      state_ = State::SubsetComment;
      return;
    }
  }
  if (IsQuote(c)) {
    Quoted(c, State::SubsetDecl);
  } else if (c == '>') {
    state_ = State::Subset;
  }
}

void MarkupScan::StartTagChar(std::uint32_t c) {
  if (IsQuote(c)) {
    Quoted(c, State::StartTag);
    inName_ = slash_ = false;
  } else if (c == '>') {
    EndOfStartTag(slash_);
    state_ = State::Text;
  } else if (c == '/') {
    slash_ = true;
    inName_ = false;
  } else if (c == '=') {
    inName_ = slash_ = false;
    ++attributes_;
    if (tokenLen_ >= 5 && std::memcmp(token_, "xmlns", 5) == 0 && (tokenLen_ == 5 || token_[5] == ':')) ++declared_;
    if (attributes_ > kMaxAttributes) Refuse("Too many attributes on one element");
    if (std::uint64_t(inScope_) + declared_ > kMaxNamespacesInScope)
      Refuse("Too many namespace declarations in scope");
  } else if (IsSpace(c)) {
    inName_ = slash_ = false;
  } else {
    slash_ = false;
    if (!inName_) {
      inName_ = true;
      tokenLen_ = 0;
    }
    if (tokenLen_ < sizeof token_ - 1) token_[tokenLen_] = c < 0x80 ? char(c) : '\x80';
    if (tokenLen_ < sizeof token_) ++tokenLen_;
  }
}

// The parser checks every attribute against the others, and looks each name's
// namespace up through the declarations in scope and the ancestors.
void MarkupScan::EndOfStartTag(bool empty) {
  const std::uint64_t k = attributes_ + defaults_;
  const std::uint64_t walk = std::uint64_t(depth_) + 1 + inScope_ + declared_ + nsDefaults_;
  work_ += k * k + (k + 1) * walk;
  if (work_ > kMarkupWorkAllowance + kMarkupWorkPerByte * bytes_)
    Refuse("Too many attributes, namespace declarations or nesting levels for the size of the document");
  if (empty) return;
  if (++depth_ > kMaxDepth) Refuse("Elements are nested too deeply");
  if (declared_) {
    scopes_.emplace_back(depth_, declared_);
    inScope_ += declared_;
  }
}

}  // namespace velarin::xml
