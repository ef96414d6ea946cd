// The document layer's reading of a declaration's pseudo-attributes.
#include "xml/xmldecl.h"

namespace velarin::xml {

std::string DeclarationAttribute(std::string_view text, std::string_view name, std::string_view def) {
  const DeclItem item = FindDeclItem(text, name, DeclQuote::Either);
  if (item.name == DeclItem::npos) return std::string(def);
  // The last character never opens a value and never belongs to one.
  const size_t last = text.empty() ? 0 : text.size() - 1;
  if (item.open == DeclItem::npos || item.open >= last) return std::string();
  const size_t end = item.close < last ? item.close : last;
  return std::string(text.substr(item.open + 1, end - item.open - 1));
}

}  // namespace velarin::xml
