// Case mapping and comparison of 16-bit text on Windows, by the system's own tables.
#include "platform/text.h"

#include <windows.h>

#include <climits>

namespace velarin::platform {
namespace {

std::u16string Map(std::u16string_view s, bool upper) {
  std::u16string out(s);
  // CharUpperBuffW takes a DWORD length; very long strings go in pieces.
  wchar_t* p = reinterpret_cast<wchar_t*>(out.data());
  size_t left = out.size();
  while (left > 0) {
    DWORD n = left > 0x40000000u ? 0x40000000u : DWORD(left);
    if (upper)
      CharUpperBuffW(p, n);
    else
      CharLowerBuffW(p, n);
    p += n;
    left -= n;
  }
  return out;
}

}  // namespace

std::u16string UpperW(std::u16string_view s) { return Map(s, true); }
std::u16string LowerW(std::u16string_view s) { return Map(s, false); }

int CompareTextW(std::u16string_view a, std::u16string_view b) {
  if (a.size() <= size_t(INT_MAX) && b.size() <= size_t(INT_MAX)) {
    int r = CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, reinterpret_cast<const wchar_t*>(a.data()),
                           int(a.size()), reinterpret_cast<const wchar_t*>(b.data()), int(b.size()));
    if (r != 0) return r - CSTR_EQUAL;
  }
  // The system refused: compare the upper-cased code units.
  std::u16string x = UpperW(a), y = UpperW(b);
  return x < y ? -1 : (x == y ? 0 : 1);
}

}  // namespace velarin::platform
