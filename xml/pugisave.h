// Writes a pugixml tree byte for byte as the libxml2 back-end writes the same
// document, so that a book saves the same whichever back-end read it.
#pragma once
#include <pugixml.hpp>

#include <cstddef>
#include <functional>
#include <string>

namespace velarin::xml {

struct PugiSaveOptions {
  // The encoding to write, as the declaration node names it ("" for UTF-8).
  std::string encoding;
  // libxml2 knew the document's encoding when it parsed it; without one it
  // writes non-ASCII characters of attribute values as character references
  // ("&#xE9;"). Known exactly when the document was read from bytes (a file,
  // loadBytes) whose XML declaration names an encoding, byte order mark or not;
  // not known after loadText, for a declaration without an encoding (even
  // after a UTF-16 byte order mark), without a declaration, in a new document.
  bool sourceEncodingKnown = true;
};

// Writes the children of document (the declaration, a processing instruction
// named "xml", first; then comments, processing instructions and the root
// element), each followed by a line break, leaving out skip and whatever is
// below it. Raises DOMException "Cannot save in the encoding "%s"" for an
// encoding iconv does not know.
void SavePugiTree(const pugi::xml_node& document, const pugi::xml_node& skip, const PugiSaveOptions& options,
                  const std::function<void(const char* data, std::size_t size)>& sink);

}  // namespace velarin::xml
