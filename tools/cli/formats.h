// How books are printed: a table for people, JSON for scripts.
#pragma once
#include <string>

#include "tools/cli/books.h"
#include "tools/cli/host.h"

namespace velarin::cli {

// A JSON string, always UTF-8 (what JSON readers expect), while the module answers in the
// system code page: on Windows the ANSI text is converted first. Bytes that are not UTF-8
// become U+FFFD so the output stays valid.
std::string Json(const std::string& text);

// A book as the table shows it: its name, then one line per field that has a value.
std::string TableText(const Host& host, const BookResult& book);

// A book as one JSON object: {"file": ..., "fields": {...}} or {"file": ..., "error": ...}.
std::string JsonRecord(const Host& host, const BookResult& book);

// The field catalogue, as a table or as JSON.
std::string FieldsText(const Host& host, bool json);

}  // namespace velarin::cli
