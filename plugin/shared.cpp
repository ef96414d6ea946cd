// String helpers of the plug-in core: path tokens, conversions and host buffer copies.
#include "plugin/shared.h"

#include <cstring>

#include "platform/codepage.h"
#include "xml/xmlutil.h"

namespace velarin::plugin {

std::string TakeToken(std::string& s, char delim) {
  const size_t p = s.find(delim);
  if (p == std::string::npos) {
    std::string token = std::move(s);
    s.clear();
    return token;
  }
  std::string token = s.substr(0, p);
  s.erase(0, p + 1);
  return token;
}

std::string ToSys(std::u16string_view s) { return platform::WideToSys(s); }

std::string ToSys(const std::u16string& s) { return platform::WideToSys(s); }

std::string ToSys(const std::optional<std::u16string>& v) { return v ? ToSys(*v) : std::string(); }

std::u16string FromSys(std::string_view s) { return platform::SysToWide(s); }

bool ValueFromHost(std::string_view s, std::u16string& out) {
  bool exact = true;
  out = platform::SysToWide(s, &exact);
  return exact && xml::IsXmlText(out);
}

void CopyToBuffer(std::string_view s, char* buffer, int size) {
  if (!buffer || size <= 0) return;
  const size_t room = size_t(size) - 1;
  const size_t n = s.size() <= room ? s.size() : platform::SysCutLength(s, room);
  if (n > 0) std::memcpy(buffer, s.data(), n);
  buffer[n] = '\0';
}

std::string ToSysFitting(const std::u16string& s, int size) {
  size_t keep = size > 0 ? size_t(size) + 1 : 0;
  if (s.size() <= keep) return ToSys(s);
  // a pair of surrogates is not cut in two
  if (keep > 0 && s[keep - 1] >= 0xD800 && s[keep - 1] < 0xDC00) --keep;
  return ToSys(std::u16string_view(s).substr(0, keep));
}

std::string_view HostString(const char* s) { return s ? std::string_view(s) : std::string_view(); }

}  // namespace velarin::plugin
