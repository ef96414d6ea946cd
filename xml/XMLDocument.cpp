// The document object: opening and loading, the XML lines, serialisation and the declaration.
#include <algorithm>
#include <sstream>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/text.h"
#include "xml/XMLDoc.h"
#include "xml/docbusy.h"
#include "xml/xmldecl.h"
#include "xml/xmlutil.h"

namespace velarin::xml {
namespace {

using platform::SysToWide;
using platform::WideToSys;

// At most n characters, never cutting a surrogate pair in two.
std::u16string_view FirstChars(std::u16string_view s, size_t n) {
  if (s.size() <= n) return s;
  if (n > 0 && s[n - 1] >= 0xD800 && s[n - 1] <= 0xDBFF) --n;
  return s.substr(0, n);
}

// The declaration's text when the first top-level node is the XML declaration.
bool DeclarationText(const DOMDocument& doc, std::u16string& text) {
  if (!doc->hasChildNodes()) return false;
  DOMNodes top = doc->childNodes();
  const DOMNode& first = top.front();
  if (first->nodeType() != nkProcessingInstr || first->nodeName() != u"xml") return false;
  text = first->nodeValue();
  return true;
}

DOMParseSettings SettingsOf(TParseOptions options) {
  DOMParseSettings settings;
  settings.preserveWhiteSpace = (options & ParseOption(poPreserveWhiteSpace)) != 0;
  settings.resolveExternals = (options & ParseOption(poResolveExternals)) != 0;
  settings.validate = (options & ParseOption(poValidateOnParse)) != 0;
  settings.async = (options & ParseOption(poAsyncLoad)) != 0;
  return settings;
}

// A 16-bit text cannot be in the 8-bit encoding its declaration may name: that name goes.
std::u16string WithoutEightBitEncoding(std::u16string text) {
  std::u16string_view head = std::u16string_view(text).substr(0, 50);
  std::string enc = DeclarationAttribute(WideToSys(head), "encoding", "");
  if (!enc.empty() && !platform::EqualAsciiNoCase(enc, "UTF-16") && !platform::EqualAsciiNoCase(enc, "UCS-2") &&
      !platform::EqualAsciiNoCase(enc, "UNICODE")) {
    const size_t pos = FindDeclItem(head, "encoding", DeclQuote::Either).name;
    if (pos != DeclItem::npos) {
      // taken as ' encoding="..."', the blank in front included
      size_t start = pos > 0 ? pos - 1 : 0;
      size_t len = SysToWide(enc).size() + (pos > 0 ? 12 : 11);
      text.erase(start, std::min(len, text.size() - start));
    }
  }
  if (!text.empty() && text[0] == 0xFEFF) text.erase(0, 1);
  return text;
}

std::string ReadAll(std::istream& s) {
  s.clear();
  s.seekg(0);
  std::ostringstream all;
  all << s.rdbuf();
  return all.str();
}

[[noreturn]] void ThrowParseError(const DOMParseError& e) {
  std::string reason = WideToSys(e.reason);
  std::string src = WideToSys(FirstChars(e.srcText, 40));
  throw EDOMParseError(Format("%s%s%s: %d%s%s", reason.c_str(), "\r\n", "Line", e.line, "\r\n", src.c_str()),
                       e);
}

}  // namespace

TXMLDocument::TXMLDocument(const std::u16string& fileName) : link_(new TDocLink) {
  link_->doc = this;
  lines_.owner_ = this;
  lines_.changeHook_ = [this] { OnLinesChanging(); };
  if (!fileName.empty()) {
    fileName_ = fileName;
    SetActive(true);
  }
}

TXMLDocument::~TXMLDocument() {
  // No document element can hold a reference to us now, so the tree just goes.
  link_->doc = nullptr;
  rootNode_ = nullptr;
  domDoc_ = nullptr;
}

void TXMLDocument::Release() noexcept {
  if (--refCount_ == 0) {
    if (busy_ > 0)
      pendingDelete_ = true;
    else
      delete this;
  }
}

void TXMLDocument::SetActive(bool active) {
  TDocBusy busy(this);
  if (active == Active()) return;
  if (active)
    Open();
  else
    Close();
}

void TXMLDocument::Open() {
  if (BeforeOpen) BeforeOpen();
  if (!domImpl_) domImpl_ = GetDOM(domVendor_);
  domDoc_ = domImpl_->createDocument();
  if (!domDoc_) throw EXMLDocError("No active document");
  try {
    Load();
  } catch (...) {
    Release(false);
    throw;
  }
  if (AfterOpen) AfterOpen();
}

void TXMLDocument::Load() {
  sourceKind_ = skNone;
  readMark_ = -1;
  domDoc_->setParseSettings(SettingsOf(parseOptions_));
  TSourceKind kind = skNone;
  if (!LoadSource(kind)) ThrowParseError(domDoc_->parseError());
  sourceKind_ = kind;
  if (kind == skLines) readMark_ = 0;
  changeCount_ = 0;
}

// Parses the first source there is, in this order: lines, 8-bit bytes, 16-bit
// text, stream, file; kind tells which it was.
bool TXMLDocument::LoadSource(TSourceKind& kind) {
  if (!lines_.Empty()) {
    kind = skLines;
    return domDoc_->loadBytes(lines_.Text());
  }
  if (haveBytes_) {
    kind = skXMLData;
    std::string bytes = std::move(bytes_);
    bytes_.clear();
    haveBytes_ = false;
    return domDoc_->loadBytes(bytes);
  }
  if (!xmlData_.empty()) {
    kind = skXMLData;
    const bool ok = domDoc_->loadText(WithoutEightBitEncoding(xmlData_));
    if (ok) xmlData_.clear();
    return ok;
  }
  if (stream_) {
    kind = skStream;
    std::istream* s = stream_;
    stream_ = nullptr;  // borrowed for this load only
    return domDoc_->loadBytes(ReadAll(*s));
  }
  if (!fileName_.empty()) {
    kind = skFile;
    return domDoc_->loadFile(fileName_);
  }
  return true;
}

void TXMLDocument::Close() {
  if (BeforeClose) BeforeClose();
  Release(true);
  if (AfterClose) AfterClose();
}

void TXMLDocument::Release(bool autoSave) {
  TDocBusy busy(this);
  if (autoSave && HasOption(doAutoSave) && changeCount_ > 0) {
    if (sourceKind_ == skLines)
      RefreshLines();
    else if (sourceKind_ == skFile)
      SaveToFile(fileName_);
  }
  // The tree is let go: its document elements stop counting references to us,
  // and node objects that outlive it no longer reach this document.
  if (rootNode_ && rootNode_->children_)
    for (const IXMLNode& n : rootNode_->children_->items_) n->SetDocElement(false);
  Ref<TDocLink> fresh(new TDocLink);
  fresh->doc = this;
  link_->doc = nullptr;
  link_ = fresh;
  rootNode_ = nullptr;
  domDoc_ = nullptr;
  prefixCounter_ = 0;
  changeCount_ = 0;
  if (sourceKind_ == skXMLData || sourceKind_ == skFile || sourceKind_ == skStream) ClearLines();
}

void TXMLDocument::RequireActive() const {
  if (!domDoc_) throw EXMLDocError("No active document");
}

IXMLNodeList TXMLDocument::Children() { return RootNode()->Children(); }

IXMLNode TXMLDocument::RootNode() {
  RequireActive();
  if (!rootNode_) rootNode_ = IXMLNode(new TXMLNode(domDoc_, nullptr, this));
  return rootNode_;
}

IXMLNode TXMLDocument::DocumentElement() {
  IXMLNodeList top = Children();
  for (int i = top->NodeCount() - 1; i >= 0; --i)
    if (top->items_[size_t(i)]->Kind() == nkElement) return top->items_[size_t(i)];
  return nullptr;
}

std::u16string TXMLDocument::DeclaredEncoding() {
  RequireActive();
  std::u16string text;
  if (!DeclarationText(domDoc_, text)) return std::u16string();
  return SysToWide(DeclarationAttribute(WideToSys(text), "encoding", ""));
}

void TXMLDocument::SetFileName(const std::u16string& name) {
  TDocBusy busy(this);
  if (name == fileName_) return;
  if (Active() && sourceKind_ == skFile)
    Close();
  else
    ClearLines();
  fileName_ = name;
}

TXMLLines& TXMLDocument::XML() {
  if (Active()) RefreshLines();
  return lines_;
}

void TXMLDocument::RefreshLines() {
  if (readMark_ == changeCount_) return;
  // Own write: the lines' hook stays out of it (Assign never runs it).
  // The saved bytes go straight into the lines, piece by piece, while their
  // byte form is watched; only a form that is re-encoded takes XmlBytes.
  std::string lines;
  if (domDoc_->hasChildNodes()) {
    TByteFormScanner form;
    TLineBuilder builder(domDoc_->sourceSize());
    domDoc_->saveBytes([&](const char* data, size_t size) {
      form.Feed(data, size);
      builder.Append(data, size);
    });
    if (KeepsBytes(form.Finish())) {
      lines = builder.Take();
    } else {
      builder = TLineBuilder(0);
      AppendNormalizedLines(lines, XmlBytes());
    }
  }
  lines_.AssignNormalized(std::move(lines));
  readMark_ = changeCount_;
}

void TXMLDocument::ClearLines() {
  lines_.AssignNormalized(std::string());
  // While open, the lines no longer show the document: the next read fills them again.
  if (Active()) readMark_ = -1;
}

void TXMLDocument::OnLinesChanging() {
  if (Active()) Close();
  fileName_.clear();
}

void TXMLDocument::LoadFile(const std::u16string& name) {
  TDocBusy busy(this);
  if (Active()) Close();
  if (!name.empty()) SetFileName(name);
  if (fileName_.empty()) throw EXMLDocError("FileName cannot be blank");
  xmlData_.clear();
  bytes_.clear();
  haveBytes_ = false;
  stream_ = nullptr;
  ClearLines();
  Open();
}

void TXMLDocument::LoadFromXML(const std::u16string& data) {
  TDocBusy busy(this);
  if (Active()) Close();
  ClearLines();  // lines would otherwise be parsed first
  bytes_.clear();
  haveBytes_ = false;
  stream_ = nullptr;
  xmlData_ = data;
  Open();
}

void TXMLDocument::LoadFromStream(std::istream& stream) {
  TDocBusy busy(this);
  if (Active()) Close();
  ClearLines();
  bytes_.clear();
  haveBytes_ = false;
  xmlData_.clear();
  stream_ = &stream;
  try {
    Open();
  } catch (...) {
    stream_ = nullptr;  // never kept past the call that lent it
    throw;
  }
}

void TXMLDocument::LoadFromBytes(std::string_view bytes) {
  TDocBusy busy(this);
  if (Active()) Close();
  ClearLines();
  xmlData_.clear();
  stream_ = nullptr;
  bytes_.assign(bytes);
  haveBytes_ = true;
  Open();
}

std::string TXMLDocument::XmlBytes() {
  RequireActive();
  if (!domDoc_->hasChildNodes()) return std::string();
  std::string bytes = domDoc_->saveBytes();
  if (KeepsBytes(DetectByteForm(bytes))) return bytes;

  // Wide or unusual byte forms go out as UTF-8 with a declaration that says so.
  std::string utf8 = platform::WideToUtf8(domDoc_->xml());
  std::string version = "1.0", standalone;
  std::u16string declText;
  if (DeclarationText(domDoc_, declText)) {
    std::string t = WideToSys(declText);
    version = DeclarationAttribute(t, "version", "");
    standalone = DeclarationAttribute(t, "standalone", "");
  }
  std::string items;
  for (const auto& [name, value] : {std::pair<const char*, std::string>{"version", version},
                                    {"encoding", "UTF-8"},
                                    {"standalone", standalone}}) {
    if (value.empty()) continue;
    if (!items.empty()) items += ' ';
    items += Format("%s=\"%s\"", name, value.c_str());
  }
  std::string decl = "<?xml " + items + "?>";
  if (utf8.compare(0, 5, "<?xml") == 0) {
    size_t gt = utf8.find('>');
    utf8.replace(0, gt == std::string::npos ? utf8.size() : gt + 1, decl);
  } else {
    utf8.insert(0, decl + "\r\n");
  }
  return utf8;
}

void TXMLDocument::SaveToFile(const std::u16string& name) {
  RequireActive();
  platform::WriteWholeFile(name.empty() ? fileName_ : name, domDoc_->saveBytes());
  changeCount_ = 0;
}

std::u16string TXMLDocument::SaveToXML() {
  RequireActive();
  return domDoc_->xml();
}

bool TXMLDocument::IsEmpty() {
  RequireActive();
  return !domDoc_->hasChildNodes();
}

IXMLNode TXMLDocument::CreateNode(const std::u16string& name, int kind,
                                  const std::u16string& namespaceURI) {
  RequireActive();
  DOMNode dom;
  switch (kind) {
    case nkElement:
      dom = namespaceURI.empty() ? domDoc_->createElement(name)
                                 : domDoc_->createElementNS(namespaceURI, name);
      break;
    case nkAttribute:
      dom = domDoc_->createAttribute(name);
      break;
    case nkText:
      dom = domDoc_->createTextNode(name);
      break;
    case nkCData:
    case nkEntityRef:
    case nkProcessingInstr:
    case nkComment:
    case nkDocFragment:
      throw DOMException("Selected DOM Vendor does not support this property or method");
    default:
      if (kind <= nkDocFragment) throw EXMLDocError("Invalid node type");
      break;  // above 11: nothing, which the wrap refuses
  }
  return IXMLNode(new TXMLNode(std::move(dom), nullptr, this));
}

IXMLNode TXMLDocument::CreateElement(const std::u16string& name, const std::u16string& namespaceURI) {
  return CreateNode(name, nkElement, namespaceURI);
}

void TXMLDocument::DoNodeChange(TXMLNode& node, TNodeChange kind, bool before) {
  ++changeCount_;
  if (before) {
    if (BeforeNodeChange) BeforeNodeChange(node, kind);
  } else if (AfterNodeChange) {
    AfterNodeChange(node, kind);
  }
}

}  // namespace velarin::xml
