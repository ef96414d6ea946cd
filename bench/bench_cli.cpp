// The command-line host on a generated library: show --json with one worker process and with
// two, the median of a few runs each, and the speed-up; both outputs must be byte-identical.
//
//   bench_cli [--books N] [--repeat R] [--jobs J] [--velarin PATH] [--dir DIR] [--keep]
//   e.g.  build-bench/bench/bench_cli --books 2000 --repeat 3
//
// Generates N books (default 2,000, 20 KB to 500 KB, a third with an embedded image) into DIR
// (default a new temporary folder), reads them once to warm the page cache, then runs
// `velarin show --json -j 1 DIR` and `-j J` (default 2) in turns, R times each (default 3).
// Target: at least 1.8x with two workers on two free cores.
// Exits with 1 when the outputs differ or velarin does not exit 0.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tools/bookgen.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

struct Options {
  int count = 2000;
  int repeat = 3;
  int jobs = 2;
  std::string velarin = VELARIN_BENCH_CLI;
  std::string dir;
  bool keep = false;
};

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--books" && more) o.count = std::max(1, std::atoi(argv[++i]));
    else if (a == "--repeat" && more) o.repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--jobs" && more) o.jobs = std::max(2, std::atoi(argv[++i]));
    else if (a == "--velarin" && more) o.velarin = argv[++i];
    else if (a == "--dir" && more) o.dir = argv[++i];
    else if (a == "--keep") o.keep = true;
    else return false;
  }
  return true;
}

// Sizes spread over 20 KB .. 500 KB, most books small; files already there are kept.
std::uint64_t MakeLibrary(const Options& o) {
  std::uint64_t bytes = 0;
  for (int i = 0; i < o.count; ++i) {
    const double u = double((i * 7919) % o.count) / double(o.count);
    const std::size_t size = std::size_t(20000.0 * std::exp(u * u * std::log(25.0)));
    const std::string path = o.dir + "/book" + std::to_string(i) + ".fb2";
    if (!fs::exists(path)) {
      const std::string text = velarin::tools::GenerateBook(unsigned(i + 1), size, i % 3 == 0).text;
      std::ofstream(path, std::ios::binary).write(text.data(), std::streamsize(text.size()));
    }
    bytes += fs::file_size(path);
  }
  return bytes;
}

void WarmCache(const std::string& dir) {
  static char buffer[1 << 16];
  for (const auto& entry : fs::directory_iterator(dir)) {
    std::ifstream in(entry.path(), std::ios::binary);
    while (in.read(buffer, sizeof buffer)) {
    }
  }
}

// Runs velarin with its output into a file; answers the seconds, or -1 when it did not exit 0.
double RunVelarin(const Options& o, int jobs, const std::string& outPath) {
  const std::string j = std::to_string(jobs);
  std::fflush(stdout);  // else the child's stdout would write this program's buffer into its file
  const auto t0 = Clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!std::freopen(outPath.c_str(), "wb", stdout)) ::_exit(127);
    ::execl(o.velarin.c_str(), o.velarin.c_str(), "show", "--json", "-j", j.c_str(), o.dir.c_str(),
            static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) return -1;
  const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  if (in >> a >> b >> c) std::printf("load average: %s %s %s\n", a.c_str(), b.c_str(), c.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(stderr, "usage: bench_cli [--books N] [--repeat R] [--jobs J] [--velarin PATH] [--dir DIR] [--keep]\n");
    return 2;
  }
  const bool ownDir = o.dir.empty();
  if (ownDir) o.dir = (fs::temp_directory_path() / ("velarin-cli-bench-" + std::to_string(::getpid()))).string();
  fs::create_directories(o.dir);
  const auto genStart = Clock::now();
  const std::uint64_t bytes = MakeLibrary(o);
  std::printf("library: %d books, %.1f MB in %s (generated in %.1f s)\n", o.count, double(bytes) / 1e6,
              o.dir.c_str(), std::chrono::duration<double>(Clock::now() - genStart).count());
  std::printf("velarin: %s; %ld cores online\n", o.velarin.c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
  LoadAverage();
  WarmCache(o.dir);

  const std::string outOne = o.dir + ".j1.json", outMany = o.dir + ".jN.json";
  std::vector<double> one, many;
  bool failed = false;
  for (int round = 0; round < o.repeat && !failed; ++round) {
    // alternate which goes first, so both meet the same load
    const bool oneFirst = round % 2 == 0;
    for (int k = 0; k < 2; ++k) {
      const bool single = (k == 0) == oneFirst;
      const double s = RunVelarin(o, single ? 1 : o.jobs, single ? outOne : outMany);
      if (s < 0) failed = true;
      (single ? one : many).push_back(s);
      std::printf("  round %d  -j %d  %7.3f s\n", round + 1, single ? 1 : o.jobs, s);
    }
  }
  const std::string a = ReadAll(outOne), b = ReadAll(outMany);
  const bool same = !a.empty() && a == b;
  if (!failed) {
    const double s1 = Median(one), sN = Median(many);
    std::printf("\nshow --json, median of %d: -j 1 %.3f s, -j %d %.3f s, speed-up %.2fx (target >= 1.8x on 2 cores)\n",
                o.repeat, s1, o.jobs, sN, s1 / sN);
  } else {
    std::printf("error: velarin did not exit 0\n");
  }
  std::printf("outputs (%zu bytes): %s\n", a.size(), same ? "byte-identical" : "DIFFER");
  LoadAverage();
  std::fflush(stdout);
  fs::remove(outOne);
  fs::remove(outMany);
  if (ownDir && !o.keep) fs::remove_all(o.dir);
  return failed || !same ? 1 : 0;
}
