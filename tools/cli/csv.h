// CSV as spreadsheets read and write it (RFC 4180): cells separated by commas, a cell with a
// comma, quote or line end quoted with its quotes doubled. Rows end with LF on output; LF or
// CRLF is read. Repeated fields share one cell, their occurrences separated by ';'.
#pragma once
#include <string>
#include <vector>

namespace velarin::cli {

// One row of cells as a CSV line ending with LF.
std::string CsvRow(const std::vector<std::string>& cells);

// The occurrences of a repeated field as one cell: "a;b", with ';' and '\' inside a value
// written as "\;" and "\\". No occurrence gives an empty cell.
std::string JoinOccurrences(const std::vector<std::string>& values);

// The reverse of JoinOccurrences; false with a message for a '\' that escapes nothing.
bool SplitOccurrences(const std::string& cell, std::vector<std::string>& values, std::string& error);

struct CsvTable {
  std::vector<std::vector<std::string>> rows;
  std::vector<int> lines;  // the line each row starts on, from 1
};

// Reads the whole text strictly: a quote only opens a cell or is doubled inside a quoted one,
// a quoted cell must be closed, every row has as many cells as the first, and the text is
// UTF-8 (a leading byte-order mark is dropped). Empty lines are skipped. False with a message
// naming the row and its line.
bool ParseCsv(const std::string& text, CsvTable& table, std::string& error);

}  // namespace velarin::cli
