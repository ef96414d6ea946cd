// What apply reads: books and their wanted field values, from JSON or CSV.
#include "tools/cli/records.h"

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "tools/cli/csv.h"

namespace velarin::cli {
namespace {

using nlohmann::json;

bool HasNul(const std::string& s) { return s.find('\0') != std::string::npos; }

// A scalar as text: strings as they are, numbers (Text size) in digits.
bool ScalarText(const json& j, std::string& text) {
  if (j.is_string()) {
    text = j.get<std::string>();
  } else if (j.is_number()) {
    text = j.dump();
  } else {
    return false;
  }
  return true;
}

Value JsonValue(const json& j) {
  Value v;
  if (j.is_null()) return v;
  if (j.is_array()) {
    v.kind = Value::kList;
    for (const json& item : j) {
      std::string text;
      if (!ScalarText(item, text)) {
        v.kind = Value::kBad;
        v.text = "a list may hold only strings";
        return v;
      }
      v.items.push_back(std::move(text));
    }
  } else if (ScalarText(j, v.text)) {
    v.kind = Value::kText;
  } else {
    v.kind = Value::kBad;
    v.text = "a value must be a string, a number, null or a list of strings";
    return v;
  }
  if (HasNul(v.text) || std::any_of(v.items.begin(), v.items.end(), HasNul)) {
    v.kind = Value::kBad;
    v.text = "a value holds a NUL character, which no book can hold";
  }
  return v;
}

}  // namespace

bool ReadJsonRecords(const std::string& text, std::vector<Record>& records, std::vector<std::string>& problems,
                     std::string& error) {
  json top;
  try {
    top = json::parse(text);
  } catch (const json::parse_error& e) {
    // what() carries the line and column
    error = std::string("not valid JSON: ") + e.what();
    return false;
  }
  if (!top.is_array()) {
    error = "the JSON must be a list of books, as show --json writes it";
    return false;
  }
  for (size_t n = 0; n < top.size(); ++n) {
    const json& item = top[n];
    Record r;
    r.where = "record " + std::to_string(n + 1);
    const json* file = item.is_object() && item.contains("file") ? &item["file"] : nullptr;
    if (!file || !file->is_string() || file->get<std::string>().empty() || HasNul(file->get<std::string>())) {
      problems.push_back(r.where + ": not an object with a \"file\" name: skipped");
      continue;
    }
    r.file = file->get<std::string>();
    if (item.contains("error")) {
      r.error = item["error"].is_string() ? item["error"].get<std::string>() : std::string("show could not read it");
    }
    std::set<std::string> failed;  // fields show could not read: nothing to compare with
    if (item.contains("errors") && item["errors"].is_object())
      for (const auto& e : item["errors"].items()) failed.insert(e.key());
    if (item.contains("fields")) {
      const json& fields = item["fields"];
      if (!fields.is_object()) {
        problems.push_back(r.where + " (" + r.file + "): \"fields\" is not an object: skipped");
        continue;
      }
      for (const auto& f : fields.items())
        if (!failed.count(f.key())) r.fields.emplace_back(f.key(), JsonValue(f.value()));
    }
    records.push_back(std::move(r));
  }
  return true;
}

bool ReadCsvRecords(const std::string& text, const Host& host, std::vector<Record>& records,
                    std::vector<std::string>& problems, std::string& error) {
  CsvTable table;
  if (!ParseCsv(text, table, error)) return false;
  if (table.rows.empty()) {
    error = "the CSV is empty: it needs a header row naming the column \"file\" and the fields";
    return false;
  }
  const std::vector<std::string>& header = table.rows[0];
  size_t fileColumn = header.size();
  bool textSize = false;
  for (size_t c = 0; c < header.size(); ++c) {
    if (std::count(header.begin(), header.end(), header[c]) > 1) {
      error = "the header names the column '" + header[c] + "' twice";
      return false;
    }
    if (header[c] == "file") fileColumn = c;
    const Field* f = host.FindField(header[c]);
    textSize = textSize || (f && f->name == "Text size");
  }
  if (fileColumn == header.size()) {
    error = "the header row has no column \"file\"";
    return false;
  }
  for (size_t n = 1; n < table.rows.size(); ++n) {
    const std::vector<std::string>& row = table.rows[n];
    Record r;
    r.where = "row " + std::to_string(n + 1) + " (line " + std::to_string(table.lines[n]) + ")";
    r.file = row[fileColumn];
    if (r.file.empty() || HasNul(r.file)) {
      problems.push_back(r.where + ": no usable file name: skipped");
      continue;
    }
    bool anyValue = false;
    for (size_t c = 0; c < row.size(); ++c) {
      if (c == fileColumn) continue;
      anyValue = anyValue || !row[c].empty();
      Value v;
      const Field* f = host.FindField(header[c]);
      if (HasNul(row[c])) {
        v.kind = Value::kBad;
        v.text = "a value holds a NUL character, which no book can hold";
      } else if (f && f->Repeated()) {
        v.kind = Value::kList;
        if (!SplitOccurrences(row[c], v.items, v.text)) v.kind = Value::kBad;
      } else if (!row[c].empty()) {
        v.kind = Value::kText;
        v.text = row[c];
      }
      r.fields.emplace_back(header[c], std::move(v));
    }
    // show writes a book it could not read as its name and empty cells; every readable
    // book has a text size: such a row must not empty the book
    if (!anyValue && textSize) r.error = "the row has no values (show could not read this book)";
    records.push_back(std::move(r));
  }
  return true;
}

}  // namespace velarin::cli
