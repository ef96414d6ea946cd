// show: every field of every book named, as a table, as JSON or as CSV.
#include "tools/cli/show.h"

#include <cstdio>

#include "tools/cli/books.h"
#include "tools/cli/formats.h"
#include "tools/cli/progress.h"
#include "tools/cli/workers.h"

namespace velarin::cli {

int Show(Host& host, const Invocation& inv) {
  const bool json = inv.json;
  bool anyFolder = false;
  const std::vector<std::string> books = CollectBooks(inv.args, anyFolder);
  Progress progress(books.size());
  size_t failed = 0;
  if (json) std::fputs("[", stdout);
  if (inv.csv) std::fputs(CsvHeader(host).c_str(), stdout);
  auto text = [&](size_t i, const BookResult& book) {
    if (inv.csv) return CsvRecord(host, book);
    return json ? std::string(i ? "," : "") + "\n  " + JsonRecord(host, book) : TableText(host, book);
  };
  auto work = [&](size_t i) {
    const BookResult book = ReadBook(host, books[i]);
    BookOutcome outcome;
    outcome.failed = !book.error.empty();
    if (outcome.failed) outcome.err = "velarin: " + book.file + ": " + book.error + "\n";
    outcome.out = text(i, book);
    return outcome;
  };
  // a book whose worker stopped is shown as a book that could not be read
  auto lost = [&](size_t i, const std::string& why) {
    BookResult book;
    book.file = books[i];
    book.error = why;
    BookOutcome outcome;
    outcome.err = "velarin: " + book.file + ": " + why + "\n";
    outcome.out = text(i, book);
    return outcome;
  };
  auto deliver = [&](size_t, const BookOutcome& outcome) {
    if (outcome.failed) ++failed;
    if (!outcome.err.empty()) {
      progress.Clear();
      std::fputs(outcome.err.c_str(), stderr);
    }
    std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
    progress.Done(outcome.failed);
  };
  RunOrdered(books.size(), inv.jobs, work, deliver, lost);
  if (json) std::fputs(books.empty() ? "]\n" : "\n]\n", stdout);
  progress.Clear();
  if (failed) Fail(std::to_string(failed) + " of " + std::to_string(books.size()) + " books could not be read");
  return failed ? kExitFailed : kExitOk;
}

}  // namespace velarin::cli
