// Case mapping and comparison of 16-bit text, as the system does it; the ASCII-only
// case fold that names of encodings, extensions and namespaces are compared by.
#pragma once
#include <string>
#include <string_view>
#include <type_traits>

namespace velarin::platform {

// c with A-Z mapped to a-z; every other unit, non-ASCII included, unchanged.
template <class Char, class = std::enable_if_t<std::is_integral_v<Char>>>
constexpr Char AsciiLower(Char c) {
  return c >= Char('A') && c <= Char('Z') ? Char(c + ('a' - 'A')) : c;
}
// c with a-z mapped to A-Z; every other unit unchanged.
template <class Char, class = std::enable_if_t<std::is_integral_v<Char>>>
constexpr Char AsciiUpper(Char c) {
  return c >= Char('a') && c <= Char('z') ? Char(c - ('a' - 'A')) : c;
}
// s with A-Z mapped to a-z.
inline std::string AsciiLower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = AsciiLower(c);
  return out;
}
namespace detail {
template <class Char>
bool EqualAsciiNoCase(std::basic_string_view<Char> a, std::basic_string_view<Char> b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}
}  // namespace detail
// Whether a and b are equal when A-Z and a-z count as the same; nothing else folds.
inline bool EqualAsciiNoCase(std::string_view a, std::string_view b) { return detail::EqualAsciiNoCase(a, b); }
inline bool EqualAsciiNoCase(std::u16string_view a, std::u16string_view b) {
  return detail::EqualAsciiNoCase(a, b);
}

std::u16string UpperW(std::u16string_view s);
std::u16string LowerW(std::u16string_view s);
// Locale-aware comparison ignoring case: <0, 0, >0.
int CompareTextW(std::u16string_view a, std::u16string_view b);

}  // namespace velarin::platform
