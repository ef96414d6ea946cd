// What apply reads: books and the field values wanted for them, from the JSON of show --json
// or from the CSV of show --csv. Text stays UTF-8 here.
#pragma once
#include <string>
#include <utility>
#include <vector>

#include "tools/cli/host.h"

namespace velarin::cli {

// A wanted value: none (null, an empty CSV cell), one text, a list of occurrences, or one
// that cannot be used (text holds why).
struct Value {
  enum Kind { kNone, kText, kList, kBad } kind = kNone;
  std::string text;
  std::vector<std::string> items;
};

struct Record {
  std::string file;
  std::string where;  // "record 3", "row 4 (line 5)": for messages
  std::string error;  // show could not read the book: nothing to apply
  std::vector<std::pair<std::string, Value>> fields;
};

// Both answer false with a message when the input as a whole is unusable; records that
// cannot be used are left out and described in problems.
bool ReadJsonRecords(const std::string& text, std::vector<Record>& records, std::vector<std::string>& problems,
                     std::string& error);
// The header row names the fields: the host tells which are repeated, so split at ';'.
bool ReadCsvRecords(const std::string& text, const Host& host, std::vector<Record>& records,
                    std::vector<std::string>& problems, std::string& error);

}  // namespace velarin::cli
