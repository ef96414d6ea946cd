// The one pass over a book's UTF-8 text that tells whether pugixml reads it
// exactly as libxml2 does; what it cannot vouch for goes to the libxml2 back-end.
#pragma once
#include <cstddef>
#include <string_view>

namespace velarin::xml {

// The XML declaration at the start of UTF-8 (or ASCII-compatible) text, checked
// against the forms libxml2 takes without an error or a warning.
struct PugiDeclaration {
  const char* handOver = nullptr;  // why the declaration is not one the fast path takes
  bool present = false;            // the text begins with "<?xml" and a blank
  std::size_t end = 0;             // just after its "?>", 0 when absent
  std::string_view encoding;       // the name it gives, empty for none
};
PugiDeclaration CheckPugiDeclaration(std::string_view text);

// Scans text from from (just after the declaration) to its end: why the fast
// path must not take it, or nullptr. Every reason is a static English string.
const char* ScanForHandOver(std::string_view text, std::size_t from);

}  // namespace velarin::xml
