// Helpers of the DOM back-end tests: parse bytes, the root element, a list's names.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "platform/codepage.h"
#include "xml/xmldom.h"

namespace velarin::xml::domtest {

// A document of the back-end registered under backend (the default when empty) loaded from bytes.
inline DOMDocument Parse(const std::string& bytes, const std::string& backend = "") {
  DOMDocument d = GetDOM(backend)->createDocument();
  EXPECT_TRUE(d->loadBytes(bytes)) << platform::WideToUtf8(d->parseError().reason);
  return d;
}

inline DOMNode Root(const DOMDocument& d) {
  for (auto& c : d->childNodes())
    if (c->nodeType() == nkElement) return c;
  return nullptr;
}

// Node names joined by commas; text nodes show their text in brackets.
inline std::string Names(const DOMNodes& nodes) {
  std::string out;
  for (auto& n : nodes) {
    if (!out.empty()) out += ',';
    out += platform::WideToUtf8(n->nodeName());
    if (n->nodeType() == nkText) out += "[" + platform::WideToUtf8(n->nodeValue()) + "]";
  }
  return out;
}

}  // namespace velarin::xml::domtest
