// Reading every field of a generated library through velarin.wdx, against a bare libxml2 parse of the same files.
//
//   bench_library [--books N] [--dir DIR] [--keep] [--module PATH] [--archived]
//
// Generates N plain books (default 2,000, 20 KB to 5 MB, a third with an embedded
// image) into DIR (default a new temporary folder), reads every field of every
// book the way a file manager does (all fields of one book, then the next;
// repeated fields unit by unit until the field answers empty), and times a bare
// libxml2 parse and free of each file in the same run. Prints both and their ratio.
// --archived also packs each book deflated into a .fb2.zip beside it and reads
// every field of the archived books in the same run, against the plain-book figure.
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

#include "tests/archive/zipbuild.h"
#include "tools/bookgen.h"
#include "tools/wdxmodule.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

struct Field {
  int index;
  bool repeated;
};

// Every field of one book through the module, as a file manager asks for them;
// answers the requests made.
long ReadAllFields(velarin::tools::WdxModule& m, const std::vector<Field>& fields, const std::string& book,
                   long& failures) {
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

}  // namespace

int main(int argc, char** argv) {
  int count = 2000;
  std::string dir;
  std::string modulePath = VELARIN_BENCH_MODULE;
  bool keep = false;
  bool archived = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--books" && i + 1 < argc) count = std::max(1, std::atoi(argv[++i]));
    else if (a == "--dir" && i + 1 < argc) dir = argv[++i];
    else if (a == "--module" && i + 1 < argc) modulePath = argv[++i];
    else if (a == "--keep") keep = true;
    else if (a == "--archived") archived = true;
    else {
      std::fprintf(stderr, "usage: bench_library [--books N] [--dir DIR] [--keep] [--module PATH] [--archived]\n");
      return 2;
    }
  }
  const bool ownDir = dir.empty();
  if (ownDir) dir = (fs::temp_directory_path() / ("velarin-library-" + std::to_string(::getpid()))).string();
  fs::create_directories(dir);

  // Sizes spread over 20 KB .. 5 MB, most books small as in a real library.
  std::vector<std::string> books, archives;
  std::uint64_t totalBytes = 0, archiveBytes = 0;
  const auto genStart = Clock::now();
  for (int i = 0; i < count; ++i) {
    const double u = double((i * 7919) % count) / double(count);
    const std::size_t size = std::size_t(20000.0 * std::exp(u * u * std::log(250.0)));
    const std::string path = dir + "/book" + std::to_string(i) + ".fb2";
    if (!fs::exists(path)) {
      const velarin::tools::GeneratedBook book = velarin::tools::GenerateBook(unsigned(i + 1), size, i % 3 == 0);
      std::ofstream(path, std::ios::binary).write(book.text.data(), std::streamsize(book.text.size()));
    }
    totalBytes += fs::file_size(path);
    books.push_back(path);
    if (archived) {
      const std::string zipPath = path + ".zip";
      if (!fs::exists(zipPath)) {
        std::ifstream in(path, std::ios::binary);
        ziptest::Entry entry;
        entry.name = "book" + std::to_string(i) + ".fb2";
        entry.data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        const std::string zip = ziptest::Build({entry});
        std::ofstream(zipPath, std::ios::binary).write(zip.data(), std::streamsize(zip.size()));
      }
      archiveBytes += fs::file_size(zipPath);
      archives.push_back(zipPath);
    }
  }
  std::printf("library: %d books, %.1f MB in %s (generated in %.1f s)\n", count, double(totalBytes) / 1e6,
              dir.c_str(), Seconds(Clock::now() - genStart));

  velarin::tools::WdxModule module;
  const std::string error = module.Load(modulePath);
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

  long bareFailures = 0, moduleFailures = 0;
  for (const std::string& book : books) BareParse(book);  // warms the page cache for both
  // Book by book, the bare parse and the module's reads take turns, so both
  // meet the same load on a shared machine.
  // With --archived the archived book takes a third turn, the order rotating book by book.
  Clock::duration bare{}, viaModule{}, viaArchive{};
  long requests = 0, archiveRequests = 0, archiveFailures = 0;
  const int turns = archived ? 3 : 2;
  for (size_t i = 0; i < books.size(); ++i) {
    for (int turn = 0; turn < turns; ++turn) {
      const int what = int((size_t(turn) + i) % size_t(turns));  // 0 bare, 1 module, 2 archive
      const auto t0 = Clock::now();
      if (what == 1)
        requests += ReadAllFields(module, fields, books[i], moduleFailures);
      else if (what == 2)
        archiveRequests += ReadAllFields(module, fields, archives[i], archiveFailures);
      else if (!BareParse(books[i]))
        ++bareFailures;
      (what == 0 ? bare : what == 1 ? viaModule : viaArchive) += Clock::now() - t0;
    }
  }
  module.SetValue("", -1, 0, 0, "", 0);
  const double bareSeconds = Seconds(bare), moduleSeconds = Seconds(viaModule);
  std::printf("bare libxml2 parse:        %8.3f s  (%.0f MB/s)\n", bareSeconds, double(totalBytes) / 1e6 / bareSeconds);
  std::printf("all fields via the module: %8.3f s  (%ld requests, %zu fields, %ld answered -2)\n", moduleSeconds,
              requests, fields.size(), moduleFailures);
  std::printf("ratio module / bare parse: %8.3f  (target <= 1.25)\n", moduleSeconds / bareSeconds);
  if (archived) {
    const double archiveSeconds = Seconds(viaArchive);
    std::printf("archived books: %d .fb2.zip, %.1f MB (deflated)\n", count, double(archiveBytes) / 1e6);
    std::printf("all fields, archived:      %8.3f s  (%ld requests, %ld answered -2)\n", archiveSeconds,
                archiveRequests, archiveFailures);
    std::printf("ratio archived / plain:    %8.3f\n", archiveSeconds / moduleSeconds);
    std::printf("ratio archived / bare:     %8.3f\n", archiveSeconds / bareSeconds);
  }
  if (bareFailures) std::printf("warning: %ld bare parses failed\n", bareFailures);
  std::fflush(stdout);
  if (ownDir && !keep) fs::remove_all(dir);
  return 0;
}
