// Case mapping of 16-bit text on Linux: towupper/towlower per code unit.
#include "platform/text.h"

#include <locale.h>
#include <wctype.h>

namespace velarin::platform {
namespace {

// Case tables of their own (C.UTF-8 carries Unicode's), so that the mapping does
// not depend on the locale the host did or did not set.
class CaseLocale {
 public:
  CaseLocale() : loc_(newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0))) {}
  ~CaseLocale() {
    if (loc_) freelocale(loc_);
  }
  CaseLocale(const CaseLocale&) = delete;
  CaseLocale& operator=(const CaseLocale&) = delete;
  wint_t Map(wint_t c, bool upper) const {
    if (loc_) return upper ? towupper_l(c, loc_) : towlower_l(c, loc_);
    return upper ? towupper(c) : towlower(c);
  }

 private:
  locale_t loc_;
};

const CaseLocale& Case() {
  static const CaseLocale c;
  return c;
}

char16_t MapUnit(char16_t c, bool upper) {
  if (c < 0x80) return upper ? AsciiUpper(c) : AsciiLower(c);
  if (c >= 0xD800 && c <= 0xDFFF) return c;  // halves of a pair map to themselves
  wint_t m = Case().Map(wint_t(c), upper);
  return m <= 0xFFFF ? char16_t(m) : c;
}

std::u16string Map(std::u16string_view s, bool upper) {
  std::u16string out(s);
  for (auto& c : out) c = MapUnit(c, upper);
  return out;
}

}  // namespace

std::u16string UpperW(std::u16string_view s) { return Map(s, true); }
std::u16string LowerW(std::u16string_view s) { return Map(s, false); }

int CompareTextW(std::u16string_view a, std::u16string_view b) {
  size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    char16_t x = MapUnit(a[i], true), y = MapUnit(b[i], true);
    if (x != y) return x < y ? -1 : 1;
  }
  return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

}  // namespace velarin::platform
