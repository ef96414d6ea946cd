// How books are printed: a table for people, JSON and CSV for scripts and spreadsheets.
#include "tools/cli/formats.h"

#include <algorithm>
#include <cstdio>

#include "plugin/wdxcodes.h"
#include "tools/cli/csv.h"
#ifdef _WIN32
#include "platform/codepage.h"
#endif

namespace velarin::cli {
namespace {

// Display width of UTF-8 text: one column per character.
size_t Width(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

// The length of the UTF-8 sequence at s[i], or 0 when the bytes there are not one.
size_t Utf8Sequence(const std::string& s, size_t i) {
  const unsigned char c = static_cast<unsigned char>(s[i]);
  const size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
  if (len == 0 || i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k)
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  return len;
}

}  // namespace

std::string Utf8Text(const std::string& text) {
#ifdef _WIN32
  const std::string s = platform::WideToUtf8(platform::SysToWide(text));
#else
  const std::string& s = text;
#endif
  std::string out;
  out.reserve(s.size());
  for (size_t i = 0; i < s.size();) {
    if (static_cast<unsigned char>(s[i]) < 0x80) {
      out += s[i++];
    } else if (const size_t len = Utf8Sequence(s, i)) {
      out.append(s, i, len);
      i += len;
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::string Json(const std::string& text) {
  const std::string s = Utf8Text(text);
  std::string out = "\"";
  for (const char ch : s) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20) {
      char esc[8];
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: std::snprintf(esc, sizeof esc, "\\u%04x", c); out += esc;
      }
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string TableText(const Host& host, const BookResult& book) {
  std::string out = book.file + "\n";
  if (!book.error.empty()) return out + "  (" + book.error + ")\n";
  size_t width = 0;
  for (const Field& f : host.Fields()) width = std::max(width, Width(f.name) + (f.Repeated() ? 2 : 0));
  auto line = [&](const std::string& label, const std::string& value) {
    out += "  " + label + std::string(width - std::min(width, Width(label)), ' ') + "  " + value + "\n";
  };
  for (size_t i = 0; i < book.fields.size(); ++i) {
    const Field& f = host.Fields()[i];
    const FieldResult& r = book.fields[i];
    if (r.code == ftNumeric32) {
      line(f.name, std::to_string(r.number));
    } else if (r.code == ftFileError) {
      line(f.name, "(cannot be read from this book)");
    } else if (f.Repeated()) {
      for (size_t u = 0; u < r.values.size(); ++u) line(f.name + ":" + std::to_string(u), r.values[u]);
    } else if (r.code == ftString && !r.values.empty() && !r.values[0].empty()) {
      line(f.name, r.values[0]);
    }
  }
  return out;
}

std::string JsonRecord(const Host& host, const BookResult& book) {
  std::string out = "{\"file\": " + Json(book.file);
  if (!book.error.empty()) return out + ", \"error\": " + Json(book.error) + "}";
  std::string fields, errors;
  for (size_t i = 0; i < book.fields.size(); ++i) {
    const Field& f = host.Fields()[i];
    const FieldResult& r = book.fields[i];
    std::string value;
    if (r.code == ftNumeric32) {
      value = std::to_string(r.number);
    } else if (f.Repeated() && r.code != ftFileError) {
      value = "[";
      for (size_t u = 0; u < r.values.size(); ++u) value += (u ? ", " : "") + Json(r.values[u]);
      value += "]";
    } else if (r.code == ftString && !r.values.empty()) {
      value = Json(r.values[0]);
    } else {
      value = "null";
      if (r.code == ftFileError) errors += (errors.empty() ? "" : ", ") + Json(f.name) + ": " + Json(Meaning(r.code));
    }
    fields += (fields.empty() ? "" : ", ") + Json(f.name) + ": " + value;
  }
  out += ", \"fields\": {" + fields + "}";
  if (!errors.empty()) out += ", \"errors\": {" + errors + "}";
  return out + "}";
}

std::string CsvHeader(const Host& host) {
  std::vector<std::string> cells{"file"};
  for (const Field& f : host.Fields()) cells.push_back(Utf8Text(f.name));
  return CsvRow(cells);
}

std::string CsvRecord(const Host& host, const BookResult& book) {
  std::vector<std::string> cells{Utf8Text(book.file)};
  for (size_t i = 0; i < host.Fields().size(); ++i) {
    const FieldResult* r = i < book.fields.size() ? &book.fields[i] : nullptr;
    std::string cell;
    if (r && r->code == ftNumeric32) {
      cell = std::to_string(r->number);
    } else if (r && r->code == ftString && host.Fields()[i].Repeated()) {
      std::vector<std::string> values;
      for (const std::string& v : r->values) values.push_back(Utf8Text(v));
      cell = JoinOccurrences(values);
    } else if (r && r->code == ftString && !r->values.empty()) {
      cell = Utf8Text(r->values[0]);
    }
    cells.push_back(std::move(cell));
  }
  return CsvRow(cells);
}

std::string FieldsText(const Host& host, bool json) {
  std::string out;
  if (json) {
    out = "[";
    for (const Field& f : host.Fields())
      out += std::string(f.index ? "," : "") + "\n  {\"index\": " + std::to_string(f.index) +
             ", \"name\": " + Json(f.name) + ", \"units\": " + Json(f.units) + "}";
    return out + (host.Fields().empty() ? "" : "\n") + "]\n";
  }
  for (const Field& f : host.Fields()) {
    char line[600];
    std::snprintf(line, sizeof line, "%3d  %-20s %s\n", f.index, f.name.c_str(), f.units.c_str());
    out += line;
  }
  return out;
}

}  // namespace velarin::cli
