// The pseudo-attributes of an XML declaration (version, encoding, standalone): where they lie in its text.
#pragma once
#include <string>
#include <string_view>

namespace velarin::xml {

// Which quote ends a value: only the kind that opened it, or either kind.
enum class DeclQuote { Same, Either };

// Where one pseudo-attribute lies in a declaration's text; npos for what is missing.
struct DeclItem {
  static constexpr size_t npos = std::string_view::npos;
  size_t name = npos;   // the first occurrence of the name
  size_t open = npos;   // the first quote of either kind after the name
  size_t close = npos;  // the quote that ends the value
  bool Complete() const { return close != npos; }
};

// Finds name (case counts) in text and the quoted value after it. Whatever stands
// between the name and the first quote (blanks, '=', anything else) is passed over.
template <class Char>
DeclItem FindDeclItem(std::basic_string_view<Char> text, std::string_view name, DeclQuote quote) {
  static constexpr Char kQuotes[] = {Char('"'), Char('\''), Char(0)};
  DeclItem item;
  item.name = text.find(std::basic_string<Char>(name.begin(), name.end()));
  if (item.name == DeclItem::npos) return item;
  item.open = text.find_first_of(kQuotes, item.name + name.size());
  if (item.open == DeclItem::npos) return item;
  item.close = quote == DeclQuote::Same ? text.find(text[item.open], item.open + 1)
                                        : text.find_first_of(kQuotes, item.open + 1);
  return item;
}

// The value between the quotes of a complete item, "" when the name, a quote or the
// closing quote is missing.
template <class Char>
std::basic_string<Char> DeclValue(std::basic_string_view<Char> text, std::string_view name, DeclQuote quote) {
  const DeclItem item = FindDeclItem(text, name, quote);
  if (!item.Complete()) return {};
  return std::basic_string<Char>(text.substr(item.open + 1, item.close - item.open - 1));
}

// What the bytes' XML declaration says, read before a parser sees them.
struct Declaration {
  bool present = false;
  std::string text;  // between "<?xml " and "?>", as written, blanks trimmed
};

// Reads the declaration from the first 4096 bytes: after a UTF-8 byte order mark,
// or from UTF-16 (with a byte order mark, or recognised by "<?") as far as it stays ASCII.
Declaration ReadDeclaration(std::string_view bytes);

// The document layer's reading of the value of name: def when the name is absent,
// "" when no quote follows it before the text's last character; the value ends at
// the next quote of either kind, or just before the last character.
std::string DeclarationAttribute(std::string_view text, std::string_view name, std::string_view def);

}  // namespace velarin::xml
