// CSV as spreadsheets read and write it.
#include "tools/cli/csv.h"

namespace velarin::cli {
namespace {

bool NeedsQuotes(const std::string& cell) { return cell.find_first_of(",\"\r\n") != std::string::npos; }

// The offset of the first byte that does not belong to a well-formed UTF-8 sequence, or npos.
size_t FirstBadUtf8(const std::string& s) {
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return i;
    for (size_t k = 1; k < len; ++k)
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return i;
    // no overlong three-byte forms, no surrogates, nothing past U+10FFFF
    const unsigned char d = len > 1 ? static_cast<unsigned char>(s[i + 1]) : 0;
    if ((c == 0xE0 && d < 0xA0) || (c == 0xED && d >= 0xA0) || (c == 0xF0 && d < 0x90) || (c == 0xF4 && d >= 0x90))
      return i;
    i += len;
  }
  return std::string::npos;
}

}  // namespace

std::string CsvRow(const std::vector<std::string>& cells) {
  std::string out;
  for (size_t i = 0; i < cells.size(); ++i) {
    if (i) out += ',';
    const std::string& cell = cells[i];
    if (!NeedsQuotes(cell)) {
      out += cell;
      continue;
    }
    out += '"';
    for (char c : cell) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out + "\n";
}

std::string JoinOccurrences(const std::vector<std::string>& values) {
  std::string out;
  for (size_t i = 0; i < values.size(); ++i) {
    if (i) out += ';';
    for (char c : values[i]) {
      if (c == ';' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out;
}

bool SplitOccurrences(const std::string& cell, std::vector<std::string>& values, std::string& error) {
  values.clear();
  if (cell.empty()) return true;
  std::string value;
  for (size_t i = 0; i < cell.size(); ++i) {
    const char c = cell[i];
    if (c == ';') {
      values.push_back(std::move(value));
      value.clear();
    } else if (c == '\\') {
      if (i + 1 == cell.size() || (cell[i + 1] != ';' && cell[i + 1] != '\\')) {
        error = "a '\\' in a repeated field must be followed by ';' or '\\' (write a backslash as \\\\)";
        return false;
      }
      value += cell[++i];
    } else {
      value += c;
    }
  }
  values.push_back(std::move(value));
  return true;
}

namespace {

// The cell at text[i], quoted (a doubled quote is one, line ends belong to the cell) or
// plain; i ends just after it, line counts the line ends passed. Answers "" or what is wrong.
std::string ReadCell(const std::string& text, size_t& i, int& line, std::string& cell) {
  const size_t n = text.size();
  cell.clear();
  if (i < n && text[i] == '"') {
    ++i;
    for (;;) {
      if (i >= n) return "a quoted cell is not closed";
      const char c = text[i++];
      if (c == '"') {
        if (i >= n || text[i] != '"') return "";
        ++i;
      } else if (c == '\n') {
        ++line;
      }
      cell += c;
    }
  }
  while (i < n && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
    if (text[i] == '"') return "a quote inside a cell that does not start with one (quote the cell and double it)";
    cell += text[i++];
  }
  return "";
}

}  // namespace

bool ParseCsv(const std::string& input, CsvTable& table, std::string& error) {
  table = CsvTable();
  size_t start = input.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
  const std::string text = input.substr(start);
  int line = 1;
  auto where = [&](int rowLine) {
    return "row " + std::to_string(table.rows.size() + 1) + " (line " + std::to_string(rowLine) + ")";
  };
  if (const size_t bad = FirstBadUtf8(text); bad != std::string::npos) {
    int badLine = 1;
    for (size_t i = 0; i < bad; ++i) badLine += text[i] == '\n';
    error = "line " + std::to_string(badLine) + ": the text is not UTF-8 (save the file as UTF-8)";
    return false;
  }
  size_t i = 0;
  const size_t n = text.size();
  while (i < n) {
    // an empty line holds no row
    if (text[i] == '\n' || (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
      i += text[i] == '\r' ? 2 : 1;
      ++line;
      continue;
    }
    const int rowLine = line;
    std::vector<std::string> row;
    std::string cell;
    bool rowDone = false;
    while (!rowDone) {
      const std::string wrong = ReadCell(text, i, line, cell);
      if (!wrong.empty()) {
        error = where(rowLine) + ": " + wrong;
        return false;
      }
      row.push_back(cell);
      if (i >= n) {
        rowDone = true;
      } else if (text[i] == ',') {
        ++i;
      } else if (text[i] == '\n' || (text[i] == '\r' && i + 1 < n && text[i + 1] == '\n')) {
        i += text[i] == '\r' ? 2 : 1;
        ++line;
        rowDone = true;
      } else {
        error = where(rowLine) + (text[i] == '\r' ? ": a carriage return that does not end the line"
                                                  : ": text after the closing quote of a cell");
        return false;
      }
    }
    if (!table.rows.empty() && row.size() != table.rows[0].size()) {
      error = where(rowLine) + ": " + std::to_string(row.size()) + " cells where the first row has " +
              std::to_string(table.rows[0].size());
      return false;
    }
    table.rows.push_back(std::move(row));
    table.lines.push_back(rowLine);
  }
  return true;
}

}  // namespace velarin::cli
