// show: every field of every book named, as a table or as JSON.
#include "tools/cli/show.h"

#include <chrono>
#include <cstdio>

#include "tools/cli/books.h"
#include "tools/cli/formats.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace velarin::cli {

int Show(Host& host, const std::vector<std::string>& paths, bool json) {
  bool anyFolder = false;
  const std::vector<std::string> books = CollectBooks(paths, anyFolder);
  const bool progress = anyFolder && isatty(fileno(stderr));
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start;
  bool progressShown = false;
  int failed = 0;
  if (json) std::fputs("[", stdout);
  for (size_t i = 0; i < books.size(); ++i) {
    const BookResult book = ReadBook(host, books[i]);
    if (!book.error.empty()) {
      ++failed;
      if (progressShown) std::fprintf(stderr, "\r\033[K");
      Fail(book.file + ": " + book.error);
    }
    const std::string text = json ? std::string(i ? "," : "") + "\n  " + JsonRecord(host, book) : TableText(host, book);
    std::fwrite(text.data(), 1, text.size(), stdout);
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - start > std::chrono::seconds(1) && now - lastShown > std::chrono::milliseconds(200)) {
      std::fflush(stdout);
      std::fprintf(stderr, "\r\033[Kvelarin: %zu of %zu books read", i + 1, books.size());
      std::fflush(stderr);
      lastShown = now;
      progressShown = true;
    }
  }
  if (json) std::fputs(books.empty() ? "]\n" : "\n]\n", stdout);
  if (progressShown) std::fprintf(stderr, "\r\033[K");
  return failed ? kExitFailed : kExitOk;
}

}  // namespace velarin::cli
