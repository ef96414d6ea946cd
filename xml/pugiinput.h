// A book's bytes made ready for the pugixml back-end: UTF-8 text that pugixml
// parses in place, and the cheap tests that send a book the fast path would not
// read exactly as libxml2 does to the libxml2 back-end instead.
#pragma once
#include <string>

namespace velarin::xml {

struct PugiInput {
  std::string text;          // UTF-8, without a byte order mark
  bool declared = false;     // the bytes begin with an XML declaration
  std::string declaration;   // its text between "<?xml" and "?>", blanks trimmed, as written
  std::string encoding;      // the encoding the declaration names, "" for none
  bool byteOrderMark = false;  // the bytes began with one (UTF-8 or UTF-16)
  // Why the book goes to the libxml2 back-end (a DTD, a code page iconv does not
  // know, bytes or references the fast path does not check); nullptr when the
  // fast path takes it.
  const char* handOver = nullptr;
};

// A book as read from its file: the encoding comes from the byte order mark,
// else from the declaration, else UTF-8.
PugiInput PrepareBytes(std::string&& bytes);
// Text that is already UTF-8 (a document given as characters): whatever
// encoding the declaration names is not applied.
PugiInput PrepareUtf8Text(std::string&& utf8);

}  // namespace velarin::xml
