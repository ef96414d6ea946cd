// Loading a large generated book and reading its XML lines once through each DOM
// back-end, against a bare libxml2 parse and serialisation of the same bytes, with
// peak memory of each.
//
//   bench_xml [--dom NAME]... [FILE]   e.g.  build/bench/bench_xml --dom pugixml
//
// Without FILE a 20 MB book is generated in the temp folder. Without --dom both
// "pugixml" and "libxml2" are measured; a name this build does not register is
// shown as "not registered".
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "platform/codepage.h"
#include "platform/files.h"
#include "xml/XMLDoc.h"
#include "xml/xmldom.h"

using namespace velarin;
using Clock = std::chrono::steady_clock;

namespace {

// A FictionBook of 50,000 paragraphs with nested sections and mixed content,
// plus 5 MB of base64 binaries: about 20 MB in all.
std::string GenerateBook() {
  std::mt19937 rng(42);
  const char* words[] = {"\xD0\xBA\xD0\xBD\xD0\xB8\xD0\xB3\xD0\xB0", "text", "paragraph",
                         "\xD1\x81\xD0\xBB\xD0\xBE\xD0\xB2\xD0\xBE", "velarin", "emphasis",
                         "metadata", "\xD0\xB4\xD0\xB5\xD0\xBD\xD1\x8C"};
  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
         "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
         "xmlns:l=\"http://www.w3.org/1999/xlink\">\n<description>\n <title-info>\n"
         "  <genre>sf</genre>\n  <author><first-name>A</first-name><last-name>B</last-name></author>\n"
         "  <book-title>Generated</book-title>\n  <lang>ru</lang>\n </title-info>\n"
         "</description>\n<body>\n";
  for (int p = 0; p < 50000; ++p) {
    if (p % 100 == 0) out << (p ? " </section>\n" : "") << " <section><title><p>Chapter " << p / 100 << "</p></title>\n";
    out << "  <p>";
    int n = 24 + int(rng() % 10);
    for (int w = 0; w < n; ++w) {
      if (w == 10) out << "<emphasis>";
      out << words[rng() % 8] << ' ';
      if (w == 14) out << "</emphasis> ";
    }
    out << "</p>\n";
  }
  out << " </section>\n</body>\n";
  static const char b64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (int b = 0; b < 5; ++b) {
    out << "<binary id=\"img" << b << ".jpg\" content-type=\"image/jpeg\">";
    for (int i = 0; i < (1 << 20); ++i) {
      out << b64[rng() & 63];
      if (i % 76 == 75) out << '\n';
    }
    out << "</binary>\n";
  }
  out << "</FictionBook>\n";
  return out.str();
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The way the plug-in reads and saves a book: load the file, take the XML lines.
size_t OurRun(const std::string& dom, const std::string& path) {
  auto doc = xml::TXMLDocument::Create();
  doc->SetDOMVendor(dom);
  doc->LoadFile(platform::SysToWide(path));
  return doc->XML().Text().size();
}

// The floor: libxml2 parses the same bytes and writes them out again.
size_t BareRun(const std::string& path) {
  std::string bytes = platform::ReadWholeFile(platform::SysToWide(path));
  xmlDocPtr d = xmlReadMemory(bytes.data(), int(bytes.size()), nullptr, nullptr,
                              XML_PARSE_NONET | XML_PARSE_HUGE | XML_PARSE_COMPACT);
  if (!d) return 0;
  xmlChar* mem = nullptr;
  int len = 0;
  xmlDocDumpMemoryEnc(d, &mem, &len, "utf-8");
  xmlFree(mem);
  xmlFreeDoc(d);
  return size_t(len);
}

// The peak resident size of this process so far (the high-water mark of its memory).
long OwnPeakKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

bool Registered(const std::string& name) {
  try {
    xml::GetDOM(name);
    return true;
  } catch (const Exception&) {
    return false;
  }
}

// Runs this program afresh as "--run WHAT DOM FILE", so that each run starts from a
// fresh process: the peak is read on its own, and neither side's time depends on
// what the other left in the allocator (whose thresholds move with every large free).
struct RunFigures {
  long peakKiB = 0;
  double seconds = 0;
};
RunFigures RunAfresh(const char* what, const std::string& dom, const std::string& path) {
  RunFigures r;
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
  if (n <= 0) return r;
  self[n] = 0;
  std::string cmd = std::string("'") + self + "' --run " + what + " '" + dom + "' '" + path + "'";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  if (std::fscanf(p, "%ld %lf", &r.peakKiB, &r.seconds) != 2) r = RunFigures{};
  pclose(p);
  return r;
}

struct Row {
  std::string dom;
  bool registered;
  double seconds = 1e9;
  long peakKiB = 0;
};

void PrintRow(const char* label, double seconds, long peakKiB, long idleKiB, double size) {
  std::printf("%-26s %8.1f ms   peak %6.1f MB (%.2fx file)\n", label, seconds * 1e3, (peakKiB - idleKiB) / 1024.0,
              (peakKiB - idleKiB) * 1024.0 / size);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--run") {
    const std::string what = argv[2];
    xmlInitParser();
    auto t = Clock::now();
    if (what == "ours") OurRun(argv[3], argv[4]);
    if (what == "bare") BareRun(argv[4]);
    std::printf("%ld %.6f\n", OwnPeakKiB(), Seconds(Clock::now() - t));
    return 0;
  }
  std::vector<Row> rows;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--dom" && i + 1 < argc) {
      rows.push_back({argv[++i], false});
    } else if (a.rfind("--", 0) == 0 || !path.empty()) {
      std::fprintf(stderr, "usage: bench_xml [--dom NAME]... [FILE]\n");
      return 2;
    } else {
      path = a;
    }
  }
  if (rows.empty()) rows = {{"pugixml", false}, {"libxml2", false}};
  for (Row& r : rows) r.registered = Registered(r.dom);
  if (path.empty()) {
    path = platform::WideToSys(platform::TempDirectory()) + "velarin-bench-book.fb2";
    std::ofstream(path, std::ios::binary) << GenerateBook();
  }
  double size = double(platform::ReadWholeFile(platform::SysToWide(path)).size());
  // best of five fresh runs each, taken in turns so that all see the same machine
  const int runs = 5;
  double bare = 1e9;
  long barePeak = 0;
  for (int i = 0; i < runs; ++i) {
    for (Row& r : rows) {
      if (!r.registered) continue;
      const RunFigures o = RunAfresh("ours", r.dom, path);
      r.seconds = std::min(r.seconds, o.seconds);
      r.peakKiB = std::max(r.peakKiB, o.peakKiB);
    }
    const RunFigures b = RunAfresh("bare", "-", path);
    bare = std::min(bare, b.seconds);
    barePeak = std::max(barePeak, b.peakKiB);
  }
  const long idle = RunAfresh("none", "-", path).peakKiB;
  std::printf("book: %s, %.1f MB\n", path.c_str(), size / 1e6);
  PrintRow("bare parse + save", bare, barePeak, idle, size);
  for (const Row& r : rows) {
    const std::string label = "load + XML lines, " + r.dom;
    if (!r.registered) {
      std::printf("%-26s not registered\n", label.c_str());
      continue;
    }
    PrintRow(label.c_str(), r.seconds, r.peakKiB, idle, size);
    std::printf("%-26s %8.2fx   (target <= 1.30x)\n", ("  time ratio, " + r.dom).c_str(), r.seconds / bare);
  }
  return 0;
}
