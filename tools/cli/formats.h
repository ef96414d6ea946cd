// How books are printed: a table for people, JSON and CSV for scripts and spreadsheets.
#pragma once
#include <string>

#include "tools/cli/books.h"
#include "tools/cli/host.h"

namespace velarin::cli {

// The text as UTF-8: on Windows the module's ANSI text is converted; bytes that are not
// UTF-8 become U+FFFD.
std::string Utf8Text(const std::string& text);

// A JSON string, always UTF-8 (what JSON readers expect), while the module answers in the
// system code page: on Windows the ANSI text is converted first. Bytes that are not UTF-8
// become U+FFFD so the output stays valid.
std::string Json(const std::string& text);

// A book as the table shows it: its name, then one line per field that has a value.
std::string TableText(const Host& host, const BookResult& book);

// A book as one JSON object: {"file": ..., "fields": {...}} or {"file": ..., "error": ...}.
std::string JsonRecord(const Host& host, const BookResult& book);

// The CSV header row (file, then the field names) and a book as one CSV row, UTF-8. Repeated
// fields are joined by JoinOccurrences; a book that cannot be read has only its file name.
std::string CsvHeader(const Host& host);
std::string CsvRecord(const Host& host, const BookResult& book);

// The field catalogue, as a table or as JSON.
std::string FieldsText(const Host& host, bool json);

}  // namespace velarin::cli
