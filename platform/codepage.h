// Conversions between 16-bit text and the 8-bit code pages the system uses.
#pragma once
#include <string>
#include <string_view>

namespace velarin::platform {

// System code page: the ANSI code page on Windows, UTF-8 on Linux. Bytes that
// are not valid there map to U+DC80..U+DCFF and back, so names survive a round trip;
// exact, when given, tells whether every byte stood for a character.
std::u16string SysToWide(std::string_view s, bool* exact = nullptr);
std::string WideToSys(std::u16string_view s);

// True where the system code page is UTF-8 (cuts must respect sequences).
bool SysIsUtf8();

// OEM code page (ZIP entry names): CP_OEMCP on Windows, IBM437 on Linux.
std::u16string OemToWide(std::string_view s);
// exact, when given, tells whether every character had a representation.
std::string WideToOem(std::u16string_view s, bool* exact = nullptr);

std::u16string Utf8ToWide(std::string_view s);
std::string WideToUtf8(std::u16string_view s);

// Whether the encoding an XML declaration names has a character for every one of
// text, by the system's own conversions; false for an encoding the system does not know.
bool EncodingHolds(std::string_view encoding, std::u16string_view text);

// Longest prefix of s no longer than max bytes that does not end inside a
// multi-byte sequence of the system code page.
size_t SysCutLength(std::string_view s, size_t max);

}  // namespace velarin::platform
