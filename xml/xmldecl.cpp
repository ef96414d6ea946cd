// The XML declaration read from a book's first bytes, and the document layer's reading of its pseudo-attributes.
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

Declaration ReadDeclaration(std::string_view bytes) {
  Declaration d;
  std::string head;
  const unsigned char* b = reinterpret_cast<const unsigned char*>(bytes.data());
  size_t n = bytes.size();
  size_t limit = n < 4096 ? n : 4096;
  auto utf16 = [&](size_t start, bool le) {
    for (size_t i = start; i + 1 < limit; i += 2) {
      unsigned u = le ? (b[i] | b[i + 1] << 8) : (b[i] << 8 | b[i + 1]);
      if (u == 0 || u > 0x7F) break;
      head.push_back(char(u));
    }
  };
  if (n >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF)
    head.assign(bytes.substr(3, limit - 3));
  else if (n >= 2 && b[0] == 0xFF && b[1] == 0xFE)
    utf16(2, true);
  else if (n >= 2 && b[0] == 0xFE && b[1] == 0xFF)
    utf16(2, false);
  else if (n >= 4 && b[0] == 0x3C && b[1] == 0 && b[2] == 0x3F && b[3] == 0)
    utf16(0, true);
  else if (n >= 4 && b[0] == 0 && b[1] == 0x3C && b[2] == 0 && b[3] == 0x3F)
    utf16(0, false);
  else
    head.assign(bytes.substr(0, limit));
  if (head.size() < 6 || head.compare(0, 5, "<?xml") != 0) return d;
  char c = head[5];
  if (c != ' ' && c != '\t' && c != '\r' && c != '\n') return d;
  size_t end = head.find("?>", 6);
  if (end == std::string::npos) return d;
  d.present = true;
  size_t start = 6;
  while (start < end && (head[start] == ' ' || head[start] == '\t' || head[start] == '\r' ||
                         head[start] == '\n'))
    ++start;
  size_t stop = end;
  while (stop > start && (head[stop - 1] == ' ' || head[stop - 1] == '\t' ||
                          head[stop - 1] == '\r' || head[stop - 1] == '\n'))
    --stop;
  d.text = head.substr(start, stop - start);
  return d;
}

}  // namespace velarin::xml
