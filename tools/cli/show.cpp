// show: every field of every book named, as a table, as JSON or as CSV.
#include "tools/cli/show.h"

#include <chrono>
#include <cstdio>

#include "tools/cli/books.h"
#include "tools/cli/formats.h"
#include "tools/cli/workers.h"

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

namespace velarin::cli {

int Show(Host& host, const Invocation& inv) {
  const bool json = inv.json;
  bool anyFolder = false;
  const std::vector<std::string> books = CollectBooks(inv.args, anyFolder);
  const bool progress = anyFolder && isatty(fileno(stderr));
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start;
  bool progressShown = false;
  int failed = 0;
  if (json) std::fputs("[", stdout);
  if (inv.csv) std::fputs(CsvHeader(host).c_str(), stdout);
  auto work = [&](size_t i) {
    const BookResult book = ReadBook(host, books[i]);
    BookOutcome outcome;
    outcome.failed = !book.error.empty();
    if (outcome.failed) outcome.err = "velarin: " + book.file + ": " + book.error + "\n";
    outcome.out = json ? std::string(i ? "," : "") + "\n  " + JsonRecord(host, book) : TableText(host, book);
    if (inv.csv) outcome.out = CsvRecord(host, book);
    return outcome;
  };
  auto deliver = [&](size_t i, const BookOutcome& outcome) {
    if (outcome.failed) ++failed;
    if (!outcome.err.empty()) {
      if (progressShown) std::fputs("\r\033[K", stderr);
      std::fputs(outcome.err.c_str(), stderr);
    }
    std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - start > std::chrono::seconds(1) && now - lastShown > std::chrono::milliseconds(200)) {
      std::fflush(stdout);
      std::fprintf(stderr, "\r\033[Kvelarin: %zu of %zu books read", i + 1, books.size());
      std::fflush(stderr);
      lastShown = now;
      progressShown = true;
    }
  };
  RunOrdered(books.size(), inv.jobs, work, deliver);
  if (json) std::fputs(books.empty() ? "]\n" : "\n]\n", stdout);
  if (progressShown) std::fputs("\r\033[K", stderr);
  return failed ? kExitFailed : kExitOk;
}

}  // namespace velarin::cli
