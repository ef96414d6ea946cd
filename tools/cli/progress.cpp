// A progress line on a terminal while a long run writes its results elsewhere.
#include "tools/cli/progress.h"

#include <cstdio>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace velarin::cli {
namespace {

bool IsTerminal(FILE* f) {
#ifdef _WIN32
  return _isatty(_fileno(f)) != 0;
#else
  return ::isatty(::fileno(f)) != 0;
#endif
}

// "\r\033[K" needs a console that understands escapes: Windows consoles do once asked to.
bool EscapesWork() {
#ifdef _WIN32
  HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
  DWORD mode = 0;
  return console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode) &&
         SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
  return true;
#endif
}

}  // namespace

Progress::Progress(size_t total)
    : enabled_(IsTerminal(stderr) && !IsTerminal(stdout) && EscapesWork()),
      total_(total),
      start_(Clock::now()),
      lastDrawn_(start_) {}

void Progress::Done(bool failed) {
  ++done_;
  failed_ += failed;
  if (!enabled_) return;
  const Clock::time_point now = Clock::now();
  if (now - start_ < std::chrono::seconds(1) || now - lastDrawn_ < std::chrono::milliseconds(200))
    return;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  const double rate = double(done_) / seconds;
  char failures[40] = "";
  if (failed_) std::snprintf(failures, sizeof failures, ", %zu failed", failed_);
  std::fprintf(stderr, "\r\033[Kvelarin: %zu of %zu books, %.*f books/s%s", done_, total_, rate < 10 ? 1 : 0, rate,
               failures);
  std::fflush(stderr);
  lastDrawn_ = now;
  shown_ = true;
}

void Progress::Clear() {
  if (!shown_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  shown_ = false;
}

}  // namespace velarin::cli
