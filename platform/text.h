// Case mapping and comparison of 16-bit text, as the system does it.
#pragma once
#include <string>
#include <string_view>

namespace velarin::platform {

std::u16string UpperW(std::u16string_view s);
std::u16string LowerW(std::u16string_view s);
// Locale-aware comparison ignoring case: <0, 0, >0.
int CompareTextW(std::u16string_view a, std::u16string_view b);

}  // namespace velarin::platform
