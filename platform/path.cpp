// Path helpers that are the same on every OS.
#include "platform/module.h"

namespace velarin::platform {

std::u16string DirectoryPart(const std::u16string& path) {
  size_t p = path.find_last_of(u"/\\");
  return p == std::u16string::npos ? std::u16string() : path.substr(0, p + 1);
}

}  // namespace velarin::platform
