// Length in 16-bit units of UTF-8 text, for the body text count.
#pragma once
#include <cstdint>

namespace velarin::xml {

// Every byte that starts a character counts one, and a four-byte character (a
// surrogate pair) one more; eight bytes at a time, since the count reads all the
// text of a book. nullptr counts 0.
std::int64_t Utf16Length(const char* utf8);

}  // namespace velarin::xml
