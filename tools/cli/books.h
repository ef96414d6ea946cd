// Books: the files a command names (folders searched), and every field of one book read.
#pragma once
#include <cstdint>
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

}  // namespace velarin::cli
