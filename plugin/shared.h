// String helpers of the plug-in core: path tokens, conversions and host buffer copies.
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace velarin::plugin {

// The part of s before the first delim (all of s without one); s keeps what follows
// that delim (empty without one).
std::string TakeToken(std::string& s, char delim);

// 16-bit text to the system code page and back.
std::string ToSys(std::u16string_view s);
std::string ToSys(const std::u16string& s);
std::string ToSys(const std::optional<std::u16string>& v);  // null gives ""
std::u16string FromSys(std::string_view s);

// A host's value as 16-bit text, or false when XML cannot hold it: bytes that stand
// for no character of the system code page, or characters XML 1.0 forbids.
bool ValueFromHost(std::string_view s, std::u16string& out);

// Copies s into a host buffer of size bytes: at most size - 1 bytes, never ending
// inside a multi-byte character where the system code page is UTF-8, then one zero.
// A size of 0 or less (or no buffer) writes nothing.
void CopyToBuffer(std::string_view s, char* buffer, int size);
// s in the host's code page, as much of it as a buffer of size bytes can take:
// every character takes at least one byte, so a long value is not converted whole.
std::string ToSysFitting(const std::u16string& s, int size);

// Zero-terminated host string, or "" for a null pointer.
std::string_view HostString(const char* s);

}  // namespace velarin::plugin
