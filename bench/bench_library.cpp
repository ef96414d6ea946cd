// Reading every field of a generated library through velarin.wdx with each DOM back-end, against a
// bare libxml2 parse of the same files, and each back-end's peak memory on the largest book.
//
//   bench_library [--books N] [--dir DIR] [--keep] [--module PATH] [--archived]
//                 [--repeat R] [--dom NAME[,NAME...]]
//   e.g.  build/bench/bench_library --books 2000 --archived --repeat 3
//
// Generates N plain books (default 2,000, 20 KB to 5 MB, a third with an embedded
// image) into DIR (default a new temporary folder); --archived also packs each one
// deflated into a .fb2.zip beside it. The module is loaded once. Each pass reads
// every field of every book the way a file manager does (all fields of one book,
// then the next; repeated fields unit by unit until the field answers empty):
//   bare libxml2 parse    xmlReadFile and free, the floor;
//   fields, NAME          the plain books, the module picking back-end NAME;
//   bare inflate + parse  the archives' entries inflated with bare zlib and parsed
//                         from memory: the floor of the archived passes;
//   archived, NAME        the archived books (with --archived).
// The module picks its back-end from VELARIN_DOM, set before each pass's turn; the
// names default to "pugixml,libxml2", and a name this build does not register is
// shown as "not registered". Before each book the module is told to drop the
// document it holds (SetValue with no file), so every pass parses every book itself.
// The passes take turns book by book, the order rotating, so all meet the same
// load on a shared machine; the whole is repeated R times (default 3) and the
// median round is shown with the spread of the rounds.
// Peak memory: for each back-end, a forked child reads every field of the largest
// book; its peak resident size minus its own resident size just before the read,
// as a multiple of the book's size (target <= 3x).
// Exits with 1 when any request on a generated book fails, so a short run is a smoke test.
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <zlib.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "tests/archive/zipbuild.h"
#include "tools/bookgen.h"
#include "tools/wdxmodule.h"
#include "xml/xmldom.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Options {
  int count = 2000;
  int repeat = 3;
  std::string dir;
  std::string modulePath = VELARIN_BENCH_MODULE;
  std::vector<std::string> doms{"pugixml", "libxml2"};
  bool keep = false;
  bool archived = false;
};

std::vector<std::string> SplitNames(const std::string& list) {
  std::vector<std::string> names;
  size_t from = 0;
  while (from <= list.size()) {
    const size_t comma = std::min(list.find(',', from), list.size());
    if (comma > from) names.push_back(list.substr(from, comma - from));
    from = comma + 1;
  }
  return names;
}

bool ParseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool more = i + 1 < argc;
    if (a == "--books" && more) o.count = std::max(1, std::atoi(argv[++i]));
    else if (a == "--repeat" && more) o.repeat = std::max(1, std::atoi(argv[++i]));
    else if (a == "--dir" && more) o.dir = argv[++i];
    else if (a == "--module" && more) o.modulePath = argv[++i];
    else if (a == "--dom" && more) o.doms = SplitNames(argv[++i]);
    else if (a == "--keep") o.keep = true;
    else if (a == "--archived") o.archived = true;
    else return false;
  }
  return !o.doms.empty();
}

struct Library {
  std::vector<std::string> books, archives;
  std::uint64_t bookBytes = 0, archiveBytes = 0;
  size_t largest = 0;  // index of the largest plain book
};

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary).write(bytes.data(), std::streamsize(bytes.size()));
}

// Sizes spread over 20 KB .. 5 MB, most books small as in a real library; files already there are kept.
Library MakeLibrary(const Options& o) {
  Library lib;
  std::uintmax_t largestSize = 0;
  for (int i = 0; i < o.count; ++i) {
    const double u = double((i * 7919) % o.count) / double(o.count);
    const std::size_t size = std::size_t(20000.0 * std::exp(u * u * std::log(250.0)));
    const std::string name = "book" + std::to_string(i) + ".fb2";
    const std::string path = o.dir + "/" + name;
    if (!fs::exists(path)) WriteFile(path, velarin::tools::GenerateBook(unsigned(i + 1), size, i % 3 == 0).text);
    const std::uintmax_t bytes = fs::file_size(path);
    if (bytes > largestSize) largestSize = bytes, lib.largest = lib.books.size();
    lib.bookBytes += bytes;
    lib.books.push_back(path);
    if (!o.archived) continue;
    const std::string zipPath = path + ".zip";
    if (!fs::exists(zipPath)) {
      std::ifstream in(path, std::ios::binary);
      ziptest::Entry entry;
      entry.name = name;
      entry.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      WriteFile(zipPath, ziptest::Build({entry}));
    }
    lib.archiveBytes += fs::file_size(zipPath);
    lib.archives.push_back(zipPath);
  }
  return lib;
}

struct Field {
  int index;
  bool repeated;
};

// Every field of one book through the module, as a file manager asks for them;
// answers the requests made. The module first drops the book it holds (the last
// one read, possibly this one in another pass), as it would on its own before
// opening the next: the held book stays in memory until then, as in a host.
long ReadAllFields(velarin::tools::WdxModule& m, const std::vector<Field>& fields, const std::string& book,
                   long& failures) {
  m.SetValue("", -1, 0, 0, "", 0);
  char buffer[2049];
  long requests = 0;
  for (const Field& f : fields) {
    for (int unit = 0;; ++unit) {
      const int code = m.GetValue(book.c_str(), f.index, unit, buffer, sizeof buffer, 0);
      ++requests;
      if (code == -2) ++failures;
      if (!f.repeated || code != 8 || unit > 1000) break;
    }
  }
  return requests;
}

const int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_HUGE | XML_PARSE_BIG_LINES |
                          XML_PARSE_COMPACT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

bool BareParse(const std::string& book) {
  xmlDocPtr doc = xmlReadFile(book.c_str(), nullptr, kParseOptions);
  xmlFreeDoc(doc);
  return doc != nullptr;
}

// The floor for an archived book: its one entry inflated with bare zlib from the
// local header on, and the text parsed from memory.
bool BareInflateAndParse(const std::string& archive) {
  std::ifstream in(archive, std::ios::binary);
  const std::string zip((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (zip.size() < 30) return false;
  auto u16 = [&](size_t at) { return unsigned(std::uint8_t(zip[at])) | unsigned(std::uint8_t(zip[at + 1])) << 8; };
  const size_t data = 30 + u16(26) + u16(28);
  const std::uint32_t size = u16(22) | std::uint32_t(u16(24)) << 16;
  if (data > zip.size() || u16(8) != 8) return false;
  std::string text(size ? size : zip.size() * 4, '\0');
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zip.data() + data));
  z.avail_in = uInt(zip.size() - data);
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (z.total_out == text.size()) text.resize(text.size() * 2);
    z.next_out = reinterpret_cast<Bytef*>(&text[z.total_out]);
    z.avail_out = uInt(text.size() - z.total_out);
    rc = inflate(&z, Z_NO_FLUSH);
  }
  text.resize(z.total_out);
  inflateEnd(&z);
  if (rc != Z_STREAM_END) return false;
  xmlDocPtr doc = xmlReadMemory(text.data(), int(text.size()), nullptr, nullptr, kParseOptions);
  xmlFreeDoc(doc);
  return doc != nullptr;
}

// This build's registry: the module is built from the same sources, so it registers the same names.
bool Registered(const std::string& name) {
  try {
    velarin::xml::GetDOM(name);
    return true;
  } catch (const velarin::Exception&) {
    return false;
  }
}

void ReadThrough(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  static char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer)) {
  }
}

void SelectDOM(const std::string& name) { ::setenv("VELARIN_DOM", name.c_str(), 1); }

enum class Kind { kBare, kBareArchived, kPlain, kArchived };

struct Pass {
  std::string label;
  Kind kind;
  std::string dom;
  bool registered = true;
  std::vector<double> rounds;  // seconds of each round
  long requests = 0, failures = 0;
  size_t floor = 0;  // the bare pass it is measured against
};

std::vector<Pass> PlanPasses(const Options& o) {
  std::vector<Pass> passes{{"bare libxml2 parse", Kind::kBare, "", true, {}, 0, 0}};
  for (const std::string& dom : o.doms) passes.push_back({"fields, " + dom, Kind::kPlain, dom, Registered(dom), {}, 0, 0});
  if (o.archived) {
    const size_t floor = passes.size();
    passes.push_back({"bare inflate + parse", Kind::kBareArchived, "", true, {}, 0, 0, floor});
    for (const std::string& dom : o.doms)
      passes.push_back({"archived, " + dom, Kind::kArchived, dom, Registered(dom), {}, 0, 0, floor});
  }
  return passes;
}

// One pass's turn on book i; answers its time.
Clock::duration RunTurn(Pass& p, size_t i, const Library& lib, velarin::tools::WdxModule& m,
                        const std::vector<Field>& fields) {
  const bool bare = p.kind == Kind::kBare || p.kind == Kind::kBareArchived;
  if (!bare) SelectDOM(p.dom);
  const auto t0 = Clock::now();
  if (bare) {
    ++p.requests;
    if (!(p.kind == Kind::kBare ? BareParse(lib.books[i]) : BareInflateAndParse(lib.archives[i]))) ++p.failures;
  } else {
    p.requests += ReadAllFields(m, fields, p.kind == Kind::kPlain ? lib.books[i] : lib.archives[i], p.failures);
  }
  return Clock::now() - t0;
}

void TimePasses(std::vector<Pass>& passes, const Options& o, const Library& lib, velarin::tools::WdxModule& m,
                const std::vector<Field>& fields) {
  std::vector<size_t> active;
  for (size_t p = 0; p < passes.size(); ++p)
    if (passes[p].registered) active.push_back(p);
  for (int round = 0; round < o.repeat; ++round) {
    std::vector<Clock::duration> spent(passes.size());
    for (size_t i = 0; i < lib.books.size(); ++i)
      for (size_t turn = 0; turn < active.size(); ++turn) {
        const size_t p = active[(turn + i + size_t(round)) % active.size()];
        spent[p] += RunTurn(passes[p], i, lib, m, fields);
      }
    for (size_t p : active) passes[p].rounds.push_back(Seconds(spent[p]));
  }
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

void PrintTable(const std::vector<Pass>& passes, const Library& lib, int rounds) {
  std::printf("\n%d round(s), passes taking turns book by book; seconds of the median round\n", rounds);
  std::printf("%-22s %9s  %-17s %6s %8s %9s %6s\n", "pass", "seconds", "rounds min..max", "MB/s", "x bare",
              "requests", "-2");
  for (const Pass& p : passes) {
    const double bare = Median(passes[p.floor].rounds);
    if (!p.registered) {
      std::printf("%-22s not registered\n", p.label.c_str());
      continue;
    }
    const double s = Median(p.rounds);
    const auto [lo, hi] = std::minmax_element(p.rounds.begin(), p.rounds.end());
    char spread[40];
    std::snprintf(spread, sizeof spread, "%.3f..%.3f", *lo, *hi);
    std::printf("%-22s %9.3f  %-17s %6.0f %8.3f %9ld %6ld\n", p.label.c_str(), s, spread,
                double(lib.bookBytes) / 1e6 / s, s / bare, p.requests / rounds, p.failures / rounds);
  }
  std::printf("MB/s counts the plain books' bytes in every pass; -2 counts failed requests (bare: failed parses)\n");
  std::printf("x bare: archived passes against the bare inflate + parse of the archives, the others against the bare parse\n");
  std::printf("targets: fields via pugixml <= 0.60x bare, via libxml2 <= 1.25x bare\n");
}

long StatusKiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
  return -1;
}

// Runs work in a forked child; answers the growth of the child's peak resident
// size over its resident size just before the work, in bytes (-1: not measured).
long long ChildPeakGrowth(const std::function<void()>& work) {
  int fds[2];
  if (::pipe(fds) != 0) return -1;
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::close(fds[0]);
    ::malloc_trim(0);  // free memory the parent left resident would hide the work's own
    if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
      std::fputs("5", f);  // the peak starts again from the present size
      std::fclose(f);
    }
    const long before = StatusKiB("VmHWM:");
    work();
    const long after = StatusKiB("VmHWM:");
    const long long growth = before >= 0 && after >= before ? (after - before) * 1024LL : -1;
    const bool sent = ::write(fds[1], &growth, sizeof growth) == ssize_t(sizeof growth);
    ::_exit(sent ? 0 : 1);
  }
  ::close(fds[1]);
  long long growth = -1;
  if (pid < 0 || ::read(fds[0], &growth, sizeof growth) != ssize_t(sizeof growth)) growth = -1;
  ::close(fds[0]);
  if (pid > 0) ::waitpid(pid, nullptr, 0);
  return growth;
}

void PrintPeak(const char* label, long long growth, double bookSize) {
  if (growth < 0) std::printf("%-22s not measured\n", label);
  else std::printf("%-22s %8.1f MB %7.2fx book\n", label, double(growth) / 1e6, double(growth) / bookSize);
}

void MeasurePeaks(const Options& o, const Library& lib, velarin::tools::WdxModule& m,
                  const std::vector<Field>& fields) {
  const std::string& book = lib.books[lib.largest];
  const double size = double(fs::file_size(book));
  std::printf("\npeak memory reading every field of the largest book (%.1f MB), over the child's baseline:\n",
              size / 1e6);
  PrintPeak("bare libxml2 parse", ChildPeakGrowth([&] { BareParse(book); }), size);
  for (const std::string& dom : o.doms) {
    if (!Registered(dom)) {
      std::printf("%-22s not registered\n", dom.c_str());
      continue;
    }
    long failures = 0;
    PrintPeak(dom.c_str(), ChildPeakGrowth([&] {
                SelectDOM(dom);
                ReadAllFields(m, fields, book, failures);
              }),
              size);
  }
  std::printf("target: <= 3x book\n");
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, o)) {
    std::fprintf(stderr,
                 "usage: bench_library [--books N] [--dir DIR] [--keep] [--module PATH] [--archived]\n"
                 "                     [--repeat R] [--dom NAME[,NAME...]]\n");
    return 2;
  }
  const bool ownDir = o.dir.empty();
  if (ownDir) o.dir = (fs::temp_directory_path() / ("velarin-library-" + std::to_string(::getpid()))).string();
  fs::create_directories(o.dir);
  const auto genStart = Clock::now();
  const Library lib = MakeLibrary(o);
  std::printf("library: %d books, %.1f MB in %s (generated in %.1f s)\n", o.count, double(lib.bookBytes) / 1e6,
              o.dir.c_str(), Seconds(Clock::now() - genStart));
  if (o.archived) std::printf("archived: %d .fb2.zip, %.1f MB (deflated)\n", o.count, double(lib.archiveBytes) / 1e6);

  velarin::tools::WdxModule module;
  const std::string error = module.Load(o.modulePath);
  if (!error.empty()) {
    std::fprintf(stderr, "bench_library: %s\n", error.c_str());
    return 1;
  }
  std::vector<Field> fields;
  char name[256], units[256];
  for (int i = 0; module.GetSupportedField(i, name, units, sizeof name) == 8; ++i) fields.push_back({i, units[0] != 0});
  if (fields.empty()) {
    std::fprintf(stderr, "bench_library: the module offers no fields (velarin.xml beside it?)\n");
    return 1;
  }
  std::printf("module: %s, %zu fields\n", o.modulePath.c_str(), fields.size());

  for (const std::string& book : lib.books) BareParse(book);  // warms the page cache for every pass
  for (const std::string& archive : lib.archives) ReadThrough(archive);
  MeasurePeaks(o, lib, module, fields);
  std::vector<Pass> passes = PlanPasses(o);
  TimePasses(passes, o, lib, module, fields);
  PrintTable(passes, lib, o.repeat);
  // every generated book must read: a failure here is the module's, whatever the times say
  long failures = 0;
  for (const Pass& p : passes) failures += p.failures;
  if (failures) std::printf("error: %ld requests or parses failed on generated books\n", failures);
  std::fflush(stdout);
  if (ownDir && !o.keep) fs::remove_all(o.dir);
  return failures ? 1 : 0;
}
