// A progress line on a terminal while a long run writes its results elsewhere.
#pragma once
#include <chrono>
#include <cstddef>

namespace velarin::cli {

// "velarin: 1234 of 5000 books, 250 books/s, 3 failed", rewritten in place on stderr. Shown
// only when stderr is a terminal and stdout is not (a table on the terminal shows life by
// itself; pipes and files never get it), from the first second on, at most five times a second.
class Progress {
 public:
  explicit Progress(size_t total);
  ~Progress() { Clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // One more book done.
  void Done(bool failed);
  // Takes the line away; call before any other message on stderr (the next Done draws it again).
  void Clear();

 private:
  using Clock = std::chrono::steady_clock;
  bool enabled_;
  bool shown_ = false;
  size_t total_;
  size_t done_ = 0;
  size_t failed_ = 0;
  Clock::time_point start_;
  Clock::time_point lastDrawn_;
};

}  // namespace velarin::cli
