// What libxml2 refuses or reads otherwise and pugixml lets pass, checked on the
// text before and on the tree after pugixml has parsed it: a document that
// fails a check is read by the libxml2 back-end instead. The checks are
// conservative; a false alarm only costs time.
#pragma once
#include <pugixml.hpp>

#include <cstddef>
#include <string>
#include <vector>

namespace velarin::xml {

// Where the root element starts and what ends the text, read before pugixml
// parses the text in place, so that nothing outside the root is silently dropped.
struct TopLevel {
  std::size_t rootName = 0;  // offset of the root element's name
  std::string tail;          // from the last '<' to the end, trailing blanks cut
  const char* handOver = nullptr;
};
// text: UTF-8 without a byte order mark; declared: it begins with a declaration.
TopLevel ScanTopLevel(const std::string& text, bool declared);

struct TreeCheck {
  const char* handOver = nullptr;
  std::vector<pugi::xml_node_struct*> preservedBlanks;  // blank text under xml:space="preserve"
};
// The tree pugixml parsed from text in place (top as ScanTopLevel read it before).
TreeCheck CheckTree(const pugi::xml_document& doc, const std::string& text, const TopLevel& top);

}  // namespace velarin::xml
