// Archive writing: replacing a book in an archive against Info-ZIP's zip, and saving archived books through the module.
//
//   bench_update [--cases abcd] [--reps N] [--book-mb M] [--archive-mb M] [--books N] [--rounds N]
//                [--module PATH] [--keep] [--ours-only]
//
// (a) a one-entry archive holding a generated book of --book-mb MB (default 5);
// (b) an archive of about --archive-mb MB (default 200) of other entries with the book last;
// (c) the same with the book first.
// Each run restores the archive from a pristine copy and flushes it to disk outside the timed
// part, then replaces book.fb2 with the edited book: ours opens the archive read-write, puts the
// entry (deflate level 1, the plug-in's setting) and closes; zip runs as a child process
// (`zip -q -j [-1] ARCHIVE DIR/book.fb2`, process start included; the edited book.fb2 is written
// once beforehand, untimed). The alternatives take turns in a rotating order, --reps runs each
// (default 7), and the medians are compared, with the CPU time each took (children included).
// (d) --books archived books (default 500, 20 KB to 500 KB, .fb2.zip with one deflated entry) and
// the same books unpacked: the title of each is written through ContentSetValue with the save
// flag, plain and archived book by book in turns, for --rounds rounds (default 3), every book
// restored and flushed before each round.
// --ours-only runs only our replacement in (a) to (c), for a profiler.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
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
#include <stdexcept>
#include <string>
#include <vector>

#include "archive/ZipArchiver.h"
#include "platform/codepage.h"
#include "tests/archive/zipbuild.h"
#include "tools/wdxmodule.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using velarin::archive::TZipArchiver;

namespace {

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double Median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// User and system CPU seconds of this process and its waited-for children together.
struct Cpu {
  double user = 0, sys = 0;
};
Cpu CpuNow() {
  Cpu c;
  for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
    rusage u{};
    ::getrusage(who, &u);
    c.user += double(u.ru_utime.tv_sec) + double(u.ru_utime.tv_usec) / 1e6;
    c.sys += double(u.ru_stime.tv_sec) + double(u.ru_stime.tv_usec) / 1e6;
  }
  return c;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one, five, fifteen;
  in >> one >> five >> fifteen;
  return one + " " + five + " " + fifteen;
}

struct Rng {
  uint64_t s;
  explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 1) {}
  uint64_t Next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  double Unit() { return double(Next() >> 11) / 9007199254740992.0; }
};

// Russian-looking prose: a vocabulary of a few thousand words made of Cyrillic syllables,
// drawn with a Zipf-like skew, with punctuation, dialogue and emphasis. Deflates about as
// real fiction does (about 4:1 at level 6, 3:1 at level 1), unlike text drawn from a handful of words.
class Prose {
 public:
  Prose() {
    static const char* const kSyllables[] = {
        "ка", "ло", "ми", "ра", "сто", "во", "не", "по", "ен", "ов", "ти", "ли", "на", "за", "пре", "де",
        "ся", "го", "ет", "ско", "ру", "жи", "ча", "ще", "бы", "ль", "ю", "ник", "ость", "ан", "ель", "му",
        "до", "кру", "вы", "зе", "ох", "ши", "тя", "фе", "гра", "ус", "им", "еж", "цы", "хо", "ду", "пла"};
    Rng r(12345);
    for (int i = 0; i < 20000; ++i) {
      std::string w;
      const int n = 1 + int(r.Next() % 4);
      for (int k = 0; k < n; ++k) w += kSyllables[r.Next() % (sizeof kSyllables / sizeof *kSyllables)];
      words_.push_back(w);
    }
  }
  // A word, often a common one: rank log-uniform over the vocabulary.
  const std::string& Word(Rng& r) const {
    size_t rank = size_t(std::exp(r.Unit() * std::log(double(words_.size())))) - 1;
    return words_[std::min(rank, words_.size() - 1)];
  }
  std::string Sentence(Rng& r) const {
    std::string s = Capital(Word(r));
    const int n = 4 + int(r.Next() % 16);
    for (int i = 1; i < n; ++i) {
      s += (r.Next() % 9 == 0) ? ", " : " ";
      if (r.Next() % 40 == 0) s += std::to_string(r.Next() % 1900 + 12) + " ";
      s += Word(r);
    }
    static const char* const kEnds[] = {".", ".", ".", ".", "!", "?", "…"};
    return s + kEnds[r.Next() % 7];
  }

 private:
  // Upper-cases a leading Cyrillic а..я (two-byte UTF-8), the only letters the syllables start with.
  static std::string Capital(std::string w) {
    unsigned char a = static_cast<unsigned char>(w[0]), b = static_cast<unsigned char>(w[1]);
    if (a == 0xD0 && b >= 0xB0 && b <= 0xBF) w[1] = char(b - 0x20);
    else if (a == 0xD1 && b >= 0x80 && b <= 0x8F) { w[0] = char(0xD0); w[1] = char(b + 0x20); }
    return w;
  }
  std::vector<std::string> words_;
};

const std::string kTitle = "Исходное название";

// A FictionBook of about bytes, titled kTitle.
std::string MakeBook(uint32_t seed, size_t bytes) {
  static const Prose prose;
  Rng r(seed);
  std::string t;
  t.reserve(bytes + 4096);
  t += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
       "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\" "
       "xmlns:l=\"http://www.w3.org/1999/xlink\">\n<description>\n<title-info>\n<genre>prose_classic</genre>\n"
       "<author><first-name>Анна</first-name><last-name>Писарева" + std::to_string(seed) +
       "</last-name></author>\n<book-title>" + kTitle + "</book-title>\n<annotation><p>" +
       prose.Sentence(r) + " " + prose.Sentence(r) + "</p></annotation>\n<date>2024</date>\n<lang>ru</lang>\n"
       "</title-info>\n<document-info>\n<author><nickname>bench</nickname></author>\n"
       "<program-used>bench_update</program-used>\n<date value=\"2024-01-01\">2024</date>\n<id>upd-" +
       std::to_string(seed) + "</id>\n<version>1.0</version>\n</document-info>\n</description>\n<body>\n";
  int chapter = 0;
  while (t.size() < bytes) {
    t += "<section>\n<title><p>Глава " + std::to_string(++chapter) + "</p></title>\n";
    for (int p = 0, n = 20 + int(r.Next() % 40); p < n && t.size() < bytes; ++p) {
      t += "<p>";
      if (r.Next() % 4 == 0) t += "— ";
      for (int k = 0, m = 1 + int(r.Next() % 6); k < m; ++k) {
        if (k) t += ' ';
        if (r.Next() % 12 == 0) t += "<emphasis>" + prose.Sentence(r) + "</emphasis>";
        else t += prose.Sentence(r);
      }
      t += "</p>\n";
    }
    t += "</section>\n";
  }
  t += "</body>\n</FictionBook>\n";
  return t;
}

std::string Retitled(const std::string& book, const std::string& title) {
  std::string edited = book;
  const std::string from = "<book-title>" + kTitle + "</book-title>";
  const size_t at = edited.find(from);
  if (at == std::string::npos) throw std::runtime_error("generated book has no title");
  edited.replace(at, from.size(), "<book-title>" + title + "</book-title>");
  return edited;
}

// Writes bytes to path and flushes them to disk, as an archive at rest would be.
void WriteSynced(const std::string& path, const std::string& bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw std::runtime_error("cannot write " + path);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      ::close(fd);
      throw std::runtime_error("cannot write " + path);
    }
    done += size_t(n);
  }
  ::fsync(fd);
  ::close(fd);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a program found on PATH and answers its exit status (-1 when it did not run);
// quiet sends its output to /dev/null.
int Run(const std::vector<std::string>& args, bool quiet) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (quiet) {
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The plug-in's save path for an archived book: open read-write, put the entry, close.
void OursReplace(const std::string& archive, const std::u16string& name, const std::string& text, bool flush) {
  TZipArchiver zip;
  zip.FileName = velarin::platform::Utf8ToWide(archive);
  zip.Options.FlushBuffers = flush;
  zip.Open(velarin::archive::openReadWrite);
  zip.PutEntryFromText(name, text, 0x20, 0);
  zip.Close();
}

// Checks a replaced archive: unzip tests every entry, the entry count is unchanged and the
// book reads back as the edited text. Answers the book entry's packed size.
uint64_t Verify(const std::string& archive, const std::string& name, const std::string& text, int32_t count,
                const char* who) {
  auto fail = [&](const std::string& why) {
    throw std::runtime_error(std::string(who) + ": " + archive + ": " + why);
  };
  if (Run({"unzip", "-tq", archive}, true) != 0) fail("unzip -tq failed");
  TZipArchiver zip;
  zip.FileName = velarin::platform::Utf8ToWide(archive);
  zip.Open(velarin::archive::openRead);
  if (zip.EntryCount() != count) fail("entry count changed");
  int32_t index = -1;
  const std::u16string wide = velarin::platform::Utf8ToWide(name);
  if (!zip.IndexOfEntry(wide, index)) fail("book entry missing");
  if (zip.ReadEntryText(wide) != text) fail("book entry does not hold the edited book");
  const uint64_t packed = zip.Entry(index).CompressedSize();
  zip.Close();
  return packed;
}

struct Options {
  std::string cases = "abcd";
  int reps = 7;
  double bookMB = 5;
  double archiveMB = 200;
  int books = 500;
  int rounds = 3;
  std::string module = VELARIN_BENCH_MODULE;
  bool keep = false;
  bool oursOnly = false;
};

// One replacement case: every alternative restores, replaces, and is timed; medians printed.
void ReplacementCase(const char* label, const std::string& dir, const std::string& pristine, int32_t count,
                     const std::string& edited, const Options& o) {
  const std::string archive = dir + "/work.zip";
  const std::string bookFile = dir + "/book.fb2";
  std::ofstream(bookFile, std::ios::binary).write(edited.data(), std::streamsize(edited.size()));
  struct Alternative {
    const char* name;
    std::function<void()> run;
    bool writes;  // replaces the book in the archive (restored before, checked after)
    std::vector<double> times{}, user{}, sys{};
    uint64_t packed = 0;
  };
  auto zip = [&](const char* level) {
    std::vector<std::string> args{"zip", "-q", "-j"};
    if (*level) args.push_back(level);
    args.push_back(archive);
    args.push_back(bookFile);
    if (Run(args, false) != 0) throw std::runtime_error("zip failed");
  };
  std::vector<Alternative> alts;
  alts.push_back({"ours (level 1)", [&] { OursReplace(archive, u"book.fb2", edited, true); }, true});
  alts.push_back({"zip default (-6)", [&] { zip(""); }, true});
  alts.push_back({"zip -1", [&] { zip("-1"); }, true});
  alts.push_back({"ours, no final flush", [&] { OursReplace(archive, u"book.fb2", edited, false); }, true});
  // The floor: the book's bytes through CRC-32 and a raw level-1 deflate in memory.
  size_t floorPacked = 0;
  volatile uint32_t floorCrc = 0;
  alts.push_back({"bare crc + deflate -1",
                  [&] {
                    floorCrc = ziptest::Crc(edited);
                    floorPacked = ziptest::RawDeflate(edited, 1).size();
                  },
                  false});
  if (o.oursOnly) alts.resize(1);  // for a profiler: nothing but our replacement

  std::printf("%s\n  archive %.1f MB, %d entries; book.fb2 %.2f MB; %d runs each, alternating; load %s\n", label,
              double(pristine.size()) / 1e6, count, double(edited.size()) / 1e6, o.reps, LoadAverage().c_str());
  std::fflush(stdout);
  for (int rep = 0; rep < o.reps; ++rep) {
    for (size_t k = 0; k < alts.size(); ++k) {
      Alternative& a = alts[(k + size_t(rep)) % alts.size()];
      if (a.writes) WriteSynced(archive, pristine);
      const Cpu c0 = CpuNow();
      const auto t0 = Clock::now();
      a.run();
      a.times.push_back(Seconds(Clock::now() - t0));
      const Cpu c1 = CpuNow();
      a.user.push_back(c1.user - c0.user);
      a.sys.push_back(c1.sys - c0.sys);
      if (rep == 0) a.packed = a.writes ? Verify(archive, "book.fb2", edited, count, a.name) : floorPacked;
    }
  }
  for (const Alternative& a : alts)
    std::printf("  %-22s %9.1f ms  (min %.1f, max %.1f; cpu user %.1f, sys %.1f; book packed %.2f MB)\n", a.name,
                Median(a.times) * 1e3, *std::min_element(a.times.begin(), a.times.end()) * 1e3,
                *std::max_element(a.times.begin(), a.times.end()) * 1e3, Median(a.user) * 1e3, Median(a.sys) * 1e3,
                double(a.packed) / 1e6);
  fs::remove(archive);
  fs::remove(bookFile);
  if (o.oursOnly) return;
  const double ours = Median(alts[0].times), zip6 = Median(alts[1].times), zip1 = Median(alts[2].times);
  std::printf("  ratio ours / zip default: %.3f   ours / zip -1: %.3f   (zip default / ours: %.1fx, zip -1 / ours: %.1fx)\n",
              ours / zip6, ours / zip1, zip6 / ours, zip1 / ours);
  std::printf("  ratio ours / bare crc + deflate -1: %.3f\n", ours / Median(alts[4].times));
  auto cpu = [&](size_t k) { return Median(alts[k].user) + Median(alts[k].sys); };
  std::printf("  cpu ratio ours / zip default: %.3f   ours / zip -1: %.3f\n", cpu(0) / cpu(1), cpu(0) / cpu(2));
  std::printf("  load after: %s\n", LoadAverage().c_str());
  std::fflush(stdout);
}

// Other entries of about total bytes on disk, 5 MB each before packing: stored random data
// (pictures), deflated random data, stored random data, deflated prose, in turn.
std::vector<ziptest::Entry> Filler(double totalBytes) {
  std::vector<ziptest::Entry> entries;
  const size_t each = 5u * 1000 * 1000;
  Rng r(777);
  double onDisk = 0;
  for (int i = 0; onDisk < totalBytes; ++i) {
    ziptest::Entry e;
    const int kind = i % 4;
    static const char* const kNames[] = {".jpg", ".bin", ".png", ".txt"};
    e.name = "other/file" + std::to_string(i) + kNames[kind];
    if (kind == 3) {
      e.data = MakeBook(uint32_t(1000 + i), each);
    } else {
      e.data.resize(each);
      for (size_t k = 0; k + 8 <= each; k += 8) {
        const uint64_t v = r.Next();
        std::memcpy(&e.data[k], &v, 8);
      }
    }
    e.method = kind == 0 || kind == 2 ? 0 : 8;
    if (e.method == 8) e.payload = ziptest::RawDeflate(e.data, 1);
    onDisk += double(e.method == 8 ? e.payload.size() : e.data.size()) + 76 + 2 * double(e.name.size());
    entries.push_back(std::move(e));
  }
  return entries;
}

// (d): one title write per book through the module, plain and archived in turns.
int ModuleCase(const std::string& dir, const Options& o) {
  std::vector<std::string> plainPaths, zipPaths, plainBytes, zipBytes;
  size_t textBytes = 0, packedBytes = 0;
  const auto genStart = Clock::now();
  fs::create_directories(dir + "/plain");
  fs::create_directories(dir + "/zip");
  for (int i = 0; i < o.books; ++i) {
    const double u = double((i * 7919) % o.books) / double(o.books);
    const size_t size = size_t(20000.0 * std::exp(u * std::log(25.0)));
    ziptest::Entry e;
    e.name = "book" + std::to_string(i) + ".fb2";
    e.data = MakeBook(uint32_t(i + 1), size);
    textBytes += e.data.size();
    plainPaths.push_back(dir + "/plain/" + e.name);
    zipPaths.push_back(dir + "/zip/" + e.name + ".zip");
    plainBytes.push_back(e.data);
    zipBytes.push_back(ziptest::Build({e}));
    packedBytes += zipBytes.back().size();
  }
  std::printf("(d) %d books, %.1f MB of text (20 KB to 500 KB), %.1f MB as .fb2.zip (generated in %.1f s)\n",
              o.books, double(textBytes) / 1e6, double(packedBytes) / 1e6, Seconds(Clock::now() - genStart));

  velarin::tools::WdxModule m;
  const std::string error = m.Load(o.module);
  if (!error.empty()) {
    std::fprintf(stderr, "bench_update: %s\n", error.c_str());
    return 1;
  }
  int title = -1;
  char name[256], units[256];
  for (int i = 0; m.GetSupportedField(i, name, units, sizeof name) == 8; ++i)
    if (std::string(name) == "Title") title = i;
  if (title < 0) {
    std::fprintf(stderr, "bench_update: the module offers no Title field (velarin.xml beside it?)\n");
    return 1;
  }

  std::vector<double> plainRounds, zipRounds;
  for (int round = 0; round < o.rounds; ++round) {
    for (size_t i = 0; i < plainPaths.size(); ++i) {
      WriteSynced(plainPaths[i], plainBytes[i]);
      WriteSynced(zipPaths[i], zipBytes[i]);
    }
    const std::string value = "Новое название " + std::to_string(round + 1);
    Clock::duration plain{}, archived{};
    long failures = 0;
    const std::string load = LoadAverage();
    for (size_t i = 0; i < plainPaths.size(); ++i) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool zipped = (turn + i + size_t(round)) % 2 == 1;
        const std::string& path = zipped ? zipPaths[i] : plainPaths[i];
        const auto t0 = Clock::now();
        const int code = m.SetValue(path.c_str(), title, 0, 8, value.c_str(), 2);
        (zipped ? archived : plain) += Clock::now() - t0;
        if (code != 0) ++failures;
      }
    }
    m.SetValue("", -1, 0, 0, "", 0);
    plainRounds.push_back(Seconds(plain));
    zipRounds.push_back(Seconds(archived));
    std::printf("  round %d: plain %.3f s, archived %.3f s (%.2f / %.2f ms per book, ratio %.3f); %ld writes "
                "failed; load %s\n",
                round + 1, Seconds(plain), Seconds(archived), Seconds(plain) * 1e3 / double(o.books),
                Seconds(archived) * 1e3 / double(o.books), Seconds(archived) / Seconds(plain), failures,
                load.c_str());
    std::fflush(stdout);
    if (round == 0) {
      // Every book holds the new title, and every archive passes unzip's test.
      const std::string want = "<book-title>" + value + "</book-title>";
      int bad = 0;
      for (size_t i = 0; i < plainPaths.size(); ++i) {
        if (ReadFile(plainPaths[i]).find(want) == std::string::npos) ++bad;
        TZipArchiver zip;
        zip.FileName = velarin::platform::Utf8ToWide(zipPaths[i]);
        zip.Open(velarin::archive::openRead);
        const std::string text = zip.ReadEntryText(velarin::platform::Utf8ToWide("book" + std::to_string(i) + ".fb2"));
        if (zip.EntryCount() != 1 || text.find(want) == std::string::npos) ++bad;
        zip.Close();
        if (Run({"unzip", "-tq", zipPaths[i]}, true) != 0) ++bad;
      }
      std::printf("  checked after round 1: %d of %zu books lack the new title or fail unzip -tq\n", bad,
                  2 * plainPaths.size());
      if (bad) return 1;
    }
  }
  const double plain = Median(plainRounds), archived = Median(zipRounds);
  std::printf("  median round: plain %.2f ms per book, archived %.2f ms per book; ratio archived / plain %.3f\n",
              plain * 1e3 / double(o.books), archived * 1e3 / double(o.books), archived / plain);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--cases" && i + 1 < argc) o.cases = argv[++i];
    else if (a == "--reps" && i + 1 < argc) o.reps = std::max(1, std::atoi(argv[++i]));
    else if (a == "--book-mb" && i + 1 < argc) o.bookMB = std::max(0.01, std::atof(argv[++i]));
    else if (a == "--archive-mb" && i + 1 < argc) o.archiveMB = std::max(1.0, std::atof(argv[++i]));
    else if (a == "--books" && i + 1 < argc) o.books = std::max(1, std::atoi(argv[++i]));
    else if (a == "--rounds" && i + 1 < argc) o.rounds = std::max(1, std::atoi(argv[++i]));
    else if (a == "--module" && i + 1 < argc) o.module = argv[++i];
    else if (a == "--keep") o.keep = true;
    else if (a == "--ours-only") o.oursOnly = true;
    else {
      std::fprintf(stderr,
                   "usage: bench_update [--cases abcd] [--reps N] [--book-mb M] [--archive-mb M] [--books N] "
                   "[--rounds N] [--module PATH] [--keep] [--ours-only]\n");
      return 2;
    }
  }
  const std::string dir = (fs::temp_directory_path() / ("velarin-update-" + std::to_string(::getpid()))).string();
  fs::create_directories(dir);
  int result = 0;
  try {
    const auto has = [&](char c) { return o.cases.find(c) != std::string::npos; };
    const std::string book = MakeBook(1, size_t(o.bookMB * 1e6));
    const std::string edited = Retitled(book, "Правленое название");
    std::printf("book: %.2f MB, deflates %.2f:1 at level 6, %.2f:1 at level 1; temp folder %s\n",
                double(book.size()) / 1e6, double(book.size()) / double(ziptest::RawDeflate(book, 6).size()),
                double(book.size()) / double(ziptest::RawDeflate(book, 1).size()), dir.c_str());
    ziptest::Entry bookEntry;
    bookEntry.name = "book.fb2";
    bookEntry.data = book;
    if (has('a')) {
      const std::string pristine = ziptest::Build({bookEntry});
      ReplacementCase("(a) one-entry archive", dir, pristine, 1, edited, o);
    }
    if (has('b') || has('c')) {
      std::vector<ziptest::Entry> entries = Filler(o.archiveMB * 1e6);
      const int32_t count = int32_t(entries.size()) + 1;
      if (has('b')) {
        entries.push_back(bookEntry);
        const std::string pristine = ziptest::Build(entries);
        ReplacementCase("(b) large archive, the book last", dir, pristine, count, edited, o);
        entries.pop_back();
      }
      if (has('c')) {
        entries.insert(entries.begin(), bookEntry);
        const std::string pristine = ziptest::Build(entries);
        ReplacementCase("(c) large archive, the book first", dir, pristine, count, edited, o);
      }
    }
    if (has('d')) result = ModuleCase(dir + "/library", o);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_update: %s\n", e.what());
    result = 1;
  }
  if (!o.keep) fs::remove_all(dir);
  return result;
}
