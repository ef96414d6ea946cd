// Books spread over worker processes, their outcomes handed back in the order of the books.
#pragma once
#include <cstddef>
#include <functional>
#include <string>

namespace velarin::cli {

// What one book's work produced: its text for standard output, its messages for standard
// error, and whether it failed.
struct BookOutcome {
  std::string out;
  std::string err;
  bool failed = false;
};

// The outcome of a book whose worker stopped before handing it back (a crash in the module
// on a hostile book); why reads "the worker reading it stopped (signal 11)". The outcome is
// delivered in the book's place, so it must be marked failed.
using LostBook = std::function<BookOutcome(size_t, const std::string& why)>;

// Runs work(i) for every i below count over `jobs` worker processes (0: one per core; 1: in
// this process) and calls deliver(i, outcome) in this process in the order of i, so the
// output is the same whatever the number of workers. Each worker is a copy of this process
// with the module already loaded and calls it one book at a time. A book whose worker
// stopped is delivered as lost(i, why) answers; without lost, as a failure with a message
// naming the book by its number.
void RunOrdered(size_t count, int jobs, const std::function<BookOutcome(size_t)>& work,
                const std::function<void(size_t, const BookOutcome&)>& deliver, const LostBook& lost = {});

}  // namespace velarin::cli
