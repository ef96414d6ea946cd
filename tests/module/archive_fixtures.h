// Archive entries for the module tests: an entry of given bytes, and the test book retitled.
#pragma once
#include <string>

#include "fixtures.h"
#include "tests/archive/zipbuild.h"

namespace velarin::moduletest {

inline ziptest::Entry Item(const std::string& name, const std::string& data, uint16_t method = 8,
                           uint16_t flags = 0) {
  ziptest::Entry e;
  e.name = name;
  e.data = data;
  e.method = method;
  e.flags = flags;
  return e;
}

// kBook with another title, to tell books apart.
inline std::string Retitled(const std::string& title) {
  std::string text = kBook;
  const std::string old = "Ледяной маяк";
  text.replace(text.find(old), old.size(), title);
  return text;
}

}  // namespace velarin::moduletest
