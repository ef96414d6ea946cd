// Fields named on the command line (FIELD, FIELD:UNIT, FIELD:+), read one by one, and written in one batch.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/host.h"
#include "tools/cli/options.h"

namespace velarin::cli {

struct FieldRef {
  const Field* field = nullptr;
  std::optional<int> unit;  // none: not given; -1: '+'
};

// FIELD or FIELD:UNIT; answers false with a message for a bad reference.
bool ParseFieldRef(const Host& host, const std::string& text, bool allowAdd, FieldRef& ref, std::string& error);

// Prints the field (every occurrence of a repeated field without unit); answers the exit status.
int Get(Host& host, const std::string& file, const FieldRef& ref);

// get --fields: the chosen fields (Host::Select) of every book named, one line per value:
// "FIELD<TAB>VALUE", a repeated field as "FIELD:UNIT", the book's name in front
// ("FILE<TAB>...") unless a single file was named. Answers the exit status.
int GetFields(Host& host, const Invocation& inv, bool singleFile);

struct Assignment {
  FieldRef ref;
  std::string value;
};

// Writes the assignments in one batch and reads them back; answers the exit status.
int Set(Host& host, const std::string& file, const std::vector<Assignment>& assignments);

}  // namespace velarin::cli
