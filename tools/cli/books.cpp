// Books: the files a command names, and every field of one book read.
#include "tools/cli/books.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/limits.h"
#include "platform/text.h"
#include "plugin/wdxcodes.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace velarin::cli {
namespace {

bool IsBookName(const fs::path& p) {
  const std::string ext = platform::AsciiLower(p.extension().string());
  return ext == ".fb2" || ext == ".zip" || ext == ".fbz";
}

// Longer than any path a system takes (Windows: 32767 characters): not a name but a broken list.
constexpr size_t kMaxListedName = 32768;

}  // namespace

std::string WhyUnreadable(const std::string& file) {
  const fs::path path = fs::u8path(file);
  std::error_code ec;
  const fs::file_status st = fs::status(path, ec);
  if (!fs::exists(st)) return "no such file";
  if (fs::is_directory(st)) return "a folder, not a book";
  if (!fs::is_regular_file(st)) return "not a regular file, not a book";
#ifndef _WIN32
  if (access(file.c_str(), R_OK) != 0) return "the book cannot be read: no permission to read the file";
#endif
  const std::string ext = platform::AsciiLower(path.extension().string());
  const std::uintmax_t size = fs::file_size(path, ec);
  if (!ec && ext != ".zip" && ext != ".fbz" && size > std::uintmax_t(platform::kMaxBookText))
    return "the book cannot be read: larger than the " + std::to_string(platform::kMaxBookText >> 20) +
           " MB the module reads";
  return "the book cannot be read: not XML, no FictionBook element, or an archive without a book";
}

bool BookReadable(Host& host, const std::string& file) {
  for (const Field& f : host.Fields()) {
    const Reading r = host.Read(file, f.index, 0);
    if (r.code == ftNumeric32 || r.code == ftFieldEmpty || (r.code == ftString && !r.text.empty())) return true;
  }
  return false;
}

std::string ReadNameList(std::FILE* in, bool nul, std::vector<std::string>& names) {
  const char end = nul ? '\0' : '\n';
  std::string name;
  bool tooLong = false;
  auto overlong = [&]() {
    return "a name in the list on standard input is longer than " + std::to_string(kMaxListedName) + " bytes" +
           (nul ? "" : " (names ended by NUL need -0)");
  };
  auto finish = [&]() {
    if (!nul && !name.empty() && name.back() == '\r') name.pop_back();
    if (!name.empty() && !tooLong) names.push_back(name);
    name.clear();
  };
  char chunk[65536];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0) {
    for (size_t i = 0; i < n; ++i) {
      if (chunk[i] == end) {
        finish();
        if (tooLong) return overlong();
        continue;
      }
      if (name.size() < kMaxListedName) {
        name += chunk[i];
      } else {
        tooLong = true;
      }
    }
  }
  if (std::ferror(in)) return "cannot read the list on standard input";
  finish();
  if (tooLong) return overlong();
  return "";
}

std::string ExpandStandardInput(std::vector<std::string>& paths, bool nul) {
  std::vector<std::string> expanded;
  bool read = false;
  for (std::string& p : paths) {
    if (p != "-") {
      expanded.push_back(std::move(p));
      continue;
    }
    if (read) continue;  // standard input is read once
    read = true;
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);  // names as they are: no CRLF or end-of-file translation
#endif
    std::string error = ReadNameList(stdin, nul, expanded);
    if (!error.empty()) return error;
  }
  paths = std::move(expanded);
  return "";
}

BookResult ReadBook(Host& host, const std::string& file) { return ReadBook(host, file, host.Fields()); }

BookResult ReadBook(Host& host, const std::string& file, const std::vector<Field>& fields) {
  BookResult book;
  book.file = file;
  int failures = 0;
  bool answered = false;
  for (const Field& f : fields) {
    FieldResult result;
    result.code = ftFieldEmpty;
    if (f.Repeated()) {
      for (int unit = 0; unit < kMaxUnits; ++unit) {
        Reading r = host.Read(file, f.index, unit);
        if (r.code == ftString) {
          result.values.push_back(std::move(r.text));
          result.code = ftString;
          continue;
        }
        if (r.code != ftFieldEmpty && r.code != ftNumeric32) result.code = r.code;
        break;
      }
    } else {
      Reading r = host.Read(file, f.index, 0);
      result.code = r.code;
      if (r.code == ftString) result.values.push_back(std::move(r.text));
      if (r.code == ftNumeric32) result.number = r.number;
    }
    if (result.code == ftFileError) ++failures;
    answered = answered || result.code == ftNumeric32 || result.code == ftFieldEmpty ||
               (result.code == ftString && !result.values[0].empty());
    book.fields.push_back(std::move(result));
  }
  // special fields answer for any XML (Encoding reads ""): a book that gives nothing else is unreadable
  if (failures > 0 && !answered) book.error = WhyUnreadable(file);
  return book;
}

std::vector<std::string> CollectBooks(const std::vector<std::string>& paths, bool& anyFolder) {
  std::vector<std::string> books;
  for (const std::string& p : paths) {
    std::error_code ec;
    const fs::path path = fs::u8path(p);
    if (!fs::is_directory(path, ec)) {
      books.push_back(p);
      continue;
    }
    anyFolder = true;
    std::vector<std::string> found;
    for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
      std::error_code fileEc;
      if (it->is_regular_file(fileEc) && IsBookName(it->path())) found.push_back(it->path().u8string());
    }
    if (ec) Fail(p + ": cannot search the whole folder: " + ec.message());
    std::sort(found.begin(), found.end());
    books.insert(books.end(), found.begin(), found.end());
  }
  return books;
}

}  // namespace velarin::cli
