// Books: the files a command names (folders searched), and every field of one book read.
#pragma once
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/cli/host.h"

namespace velarin::cli {

// What one field of one book holds.
struct FieldResult {
  int code = 0;                     // ftString, ftNumeric32, ftFieldEmpty, or the failing code
  std::vector<std::string> values;  // the occurrences (one for a plain string field)
  std::int32_t number = 0;
};

struct BookResult {
  std::string file;
  std::string error;  // the whole book failed
  std::vector<FieldResult> fields;
};

// Every field of the book, repeated fields occurrence by occurrence.
BookResult ReadBook(Host& host, const std::string& file);
// Only the fields given, in their order.
BookResult ReadBook(Host& host, const std::string& file, const std::vector<Field>& fields);

// Files named on the command line, and the books inside named folders, sorted per folder.
// anyFolder tells whether a folder was searched.
std::vector<std::string> CollectBooks(const std::vector<std::string>& paths, bool& anyFolder);

// Why the module cannot read this book, from what the file system tells: "no such file",
// "a folder, not a book", or "the book cannot be read: ...".
std::string WhyUnreadable(const std::string& file);

// Whether the module reads the book: some field answers a value or "empty". Tells an
// unreadable book from a field that cannot be read or written.
bool BookReadable(Host& host, const std::string& file);

// The names in a list, one per line (LF or CRLF) or, with nul, each ended by NUL; empty
// names are skipped. Answers "" or what is wrong with the list.
std::string ReadNameList(std::FILE* in, bool nul, std::vector<std::string>& names);

// Replaces each "-" in paths by the names listed on standard input, in their order.
// Answers "" or what is wrong with the list.
std::string ExpandStandardInput(std::vector<std::string>& paths, bool nul);

}  // namespace velarin::cli
