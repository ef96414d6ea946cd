// The XML lines: the document's 8-bit text, kept joined with every line ended by CR LF.
#include <cstring>

#include "platform/files.h"
#include "xml/XMLDoc.h"
#include "xml/docbusy.h"
#include "xml/xmlutil.h"

namespace velarin::xml {

int TXMLLines::Count() const {
  if (!offsetsValid_) {
    offsets_.clear();
    // Every line ends with CR LF and no other CR or LF is stored, so LF ends a line.
    const char* base = text_.data();
    const char* p = base;
    const char* end = base + text_.size();
    while (p < end) {
      offsets_.push_back(size_t(p - base));
      const void* lf = std::memchr(p, '\n', size_t(end - p));
      if (!lf) break;
      p = static_cast<const char*>(lf) + 1;
    }
    offsetsValid_ = true;
  }
  return int(offsets_.size());
}

std::string TXMLLines::Line(int index) const {
  int n = Count();
  if (index < 0 || index >= n) throw EListError(Format("List index out of bounds (%d)", index));
  size_t b = offsets_[size_t(index)];
  size_t e = size_t(index) + 1 < offsets_.size() ? offsets_[size_t(index) + 1] : text_.size();
  // drop the CR LF
  return text_.substr(b, e - b >= 2 ? e - b - 2 : 0);
}

void TXMLLines::SetText(std::string_view text) {
  TDocBusy busy(owner_);
  // The text may lie in our own buffer, which the hook can change.
  std::string copy;
  if (!text_.empty() && text.data() >= text_.data() && text.data() < text_.data() + text_.size()) {
    copy.assign(text);
    text = copy;
  }
  if (changeHook_) changeHook_();
  Assign(text);
}

void TXMLLines::Clear() {
  TDocBusy busy(owner_);
  if (changeHook_) changeHook_();
  AssignNormalized(std::string());
}

void TXMLLines::SaveToFile(const std::u16string& fileName) const {
  platform::WriteWholeFile(fileName, text_);
}

void TXMLLines::Assign(std::string_view text) {
  std::string out;
  AppendNormalizedLines(out, text);
  AssignNormalized(std::move(out));
}

void TXMLLines::AssignNormalized(std::string&& text) {
  text_ = std::move(text);
  offsets_.clear();
  offsetsValid_ = false;
}

}  // namespace velarin::xml
