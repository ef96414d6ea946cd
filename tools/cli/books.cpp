// Books: the files a command names, and every field of one book read.
#include "tools/cli/books.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/text.h"
#include "plugin/wdxcodes.h"

namespace fs = std::filesystem;

namespace velarin::cli {
namespace {

bool IsBookName(const fs::path& p) {
  const std::string ext = platform::AsciiLower(p.extension().string());
  return ext == ".fb2" || ext == ".zip" || ext == ".fbz";
}

}  // namespace

BookResult ReadBook(Host& host, const std::string& file) { return ReadBook(host, file, host.Fields()); }

BookResult ReadBook(Host& host, const std::string& file, const std::vector<Field>& fields) {
  BookResult book;
  book.file = file;
  int failures = 0;
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
    book.fields.push_back(std::move(result));
  }
  if (!book.fields.empty() && failures == int(book.fields.size())) {
    std::error_code ec;
    if (!fs::exists(fs::u8path(file), ec))
      book.error = "no such file";
    else if (fs::is_directory(fs::u8path(file), ec))
      book.error = "a folder, not a book";
    else
      book.error = "cannot read the book: the file is not readable, not XML, or has no FictionBook element";
  }
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
