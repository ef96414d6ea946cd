// apply: edits many books at once from a file that show wrote and someone changed.
#include "tools/cli/apply.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "platform/text.h"
#include "plugin/wdxcodes.h"
#include "tools/cli/books.h"
#include "tools/cli/formats.h"
#include "tools/cli/progress.h"
#include "tools/cli/records.h"
#include "tools/cli/workers.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include "platform/codepage.h"
#define getpid _getpid
#define fdopen _fdopen
#define close _close
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace velarin::cli {
namespace {

// The input is UTF-8; the module takes the system code page. False when a character has
// no place there (Windows with an ANSI code page).
bool ToModule(const std::string& utf8, std::string& sys) {
#ifdef _WIN32
  const std::u16string wide = platform::Utf8ToWide(utf8);
  sys = platform::WideToSys(wide);
  bool exact = true;
  return platform::SysToWide(sys, &exact) == wide && exact;
#else
  sys = utf8;
  return true;
#endif
}

bool ReadInput(const std::string& name, std::string& text, std::string& error) {
  FILE* f = stdin;
  if (name == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
  } else if (!(f = std::fopen(name.c_str(), "rb"))) {
    error = std::strerror(errno);
    return false;
  }
  char buffer[65536];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  const bool bad = std::ferror(f);
  if (f != stdin) std::fclose(f);
  if (bad) error = "read error";
  return !bad;
}

// The module flags every field editable, yet refuses writes to template and special fields.
// A scratch book tells which fields take a write, so changed read-only fields are reported
// rather than tried on the books. Empty when no scratch book can be made: everything is tried.
std::vector<bool> WritableFields(Host& host) {
  std::error_code ec;
  const fs::path dir = fs::temp_directory_path(ec);
  if (ec) return {};
  const std::string probe = (dir / ("velarin-probe-" + std::to_string(getpid()) + ".fb2")).string();
  // made anew, never an existing file or a link someone left under that name
#ifdef _WIN32
  const int fd = _open(probe.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, 0600);
#endif
  FILE* f = fd < 0 ? nullptr : fdopen(fd, "wb");
  if (!f) {
    if (fd >= 0) close(fd);
    return {};
  }
  static const char kBook[] =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<FictionBook xmlns=\"http://www.gribuser.ru/xml/fictionbook/2.0\"><description><title-info>"
      "<book-title>x</book-title></title-info></description><body><section><p>x</p></section></body>"
      "</FictionBook>\n";
  const bool made = std::fwrite(kBook, 1, sizeof kBook - 1, f) == sizeof kBook - 1;
  std::fclose(f);
  std::vector<bool> writable;
  if (made) {
    for (const Field& field : host.Fields()) {
      if (size_t(field.index) >= writable.size()) writable.resize(field.index + 1, false);
      writable[field.index] = host.Write(probe, field.index, 0, "x", false) == ftSetSuccess;
    }
    host.EndBatch();
  }
  std::remove(probe.c_str());
  return writable;
}

struct Wanted {
  const Field* field;
  Value value;
};

struct Job {
  const Record* record;
  std::vector<Wanted> wanted;
};

struct Change {
  int field;
  int unit;
  std::string value;
};

std::string Shown(const std::vector<std::string>& values, size_t i) {
  return i < values.size() ? Json(values[i]) : std::string("(none)");
}

// Empty occurrences at the end hold nothing (a CSV cell cannot tell one from none): they
// are neither compared nor removed.
std::vector<std::string> WithoutTrailingEmpty(std::vector<std::string> values) {
  while (!values.empty() && values.back().empty()) values.pop_back();
  return values;
}

// What the field holds now, the way the wanted values are compared with it: no value for
// an empty plain field, the digits of a number.
std::vector<std::string> Current(const Field& f, const FieldResult& r) {
  if (r.code == ftNumeric32) return {std::to_string(r.number)};
  if (r.code != ftString) return {};
  if (!f.Repeated() && (r.values.empty() || r.values[0].empty())) return {};
  return f.Repeated() ? WithoutTrailingEmpty(r.values) : std::vector<std::string>{r.values[0]};
}

class BookApplier {
 public:
  BookApplier(Host& host, const Job& job, bool dryRun, const std::vector<bool>& writable)
      : host_(host), job_(job), dryRun_(dryRun), writable_(writable) {}

  BookOutcome Run() {
    const Record& rec = *job_.record;
    if (!ToModule(rec.file, file_)) {
      Problem("", "the file name has characters the system code page lacks");
      return outcome_;
    }
    std::vector<Field> fields;
    for (const Wanted& w : job_.wanted) fields.push_back(*w.field);
    std::error_code ec;
    if (fields.empty() && !fs::is_regular_file(fs::u8path(rec.file), ec)) {
      Problem("", "no such book");
      return outcome_;
    }
    const BookResult now = ReadBook(host_, file_, fields);
    if (!now.error.empty()) {
      Problem("", now.error);
      return outcome_;
    }
    for (size_t k = 0; k < job_.wanted.size(); ++k) Plan(job_.wanted[k], now.fields[k]);
    if (dryRun_ || changes_.empty()) return outcome_;
    Write();
    return outcome_;
  }

 private:
  void Problem(const std::string& field, const std::string& why) {
    outcome_.err += "velarin: " + job_.record->file + ": " + (field.empty() ? "" : field + ": ") + why + "\n";
    outcome_.failed = true;
  }

  // The wanted values in the module's code page; false (reported) when they cannot be.
  bool Target(const Field& f, const Value& v, std::vector<std::string>& target) {
    std::vector<std::string> utf8;
    switch (v.kind) {
      case Value::kBad: Problem(f.name, v.text); return false;
      case Value::kNone: break;
      case Value::kText:
        if (!v.text.empty()) utf8.push_back(v.text);
        break;
      case Value::kList:
        if (!f.Repeated()) {
          Problem(f.name, "takes one value, not a list");
          return false;
        }
        utf8 = WithoutTrailingEmpty(v.items);
        break;
    }
    for (const std::string& s : utf8) {
      target.emplace_back();
      if (!ToModule(s, target.back())) {
        Problem(f.name, "a character in " + Json(s) + " has no place in the system code page");
        return false;
      }
    }
    return true;
  }

  void Plan(const Wanted& w, const FieldResult& now) {
    const Field& f = *w.field;
    std::vector<std::string> target;
    if (!Target(f, w.value, target)) return;
    if (now.code != ftString && now.code != ftNumeric32 && now.code != ftFieldEmpty) {
      if (!target.empty()) Problem(f.name, "cannot be read from this book: left as it is");
      return;
    }
    const std::vector<std::string> current = Current(f, now);
    if (current == target) return;
    const bool writable = size_t(f.index) >= writable_.size() ? writable_.empty() : bool(writable_[f.index]);
    if (now.code == ftNumeric32 || !writable) {
      Problem(f.name, "read-only field (a template or special field): not written");
      return;
    }
    const std::string& name = job_.record->file;
    if (!f.Repeated()) {
      changes_.push_back({f.index, 0, target.empty() ? std::string() : target[0]});
      outcome_.out += dryRun_ ? name + ": " + f.name + ": " + Shown(current, 0) + " -> " + Shown(target, 0) + "\n" : "";
      changed_.push_back({&w, std::move(target)});
      return;
    }
    const size_t n = current.size(), m = target.size();
    // writing "" removes an occurrence: an empty one cannot be written in place
    for (size_t i = 0; i < m; ++i)
      if (target[i].empty() && (i >= n || !current[i].empty())) {
        Problem(f.name, "occurrence " + std::to_string(i) + " is empty: an empty occurrence cannot be written, leave it out");
        return;
      }
    std::vector<size_t> units;
    for (size_t i = 0; i < std::min(n, m); ++i)
      if (current[i] != target[i]) units.push_back(i);
    // removing an occurrence moves the later ones up: the last goes first
    for (size_t i = n; i-- > m;) units.push_back(i);
    // writing one past the last occurrence adds one there
    for (size_t i = n; i < m; ++i) units.push_back(i);
    for (size_t i : units) {
      changes_.push_back({f.index, int(i), i < m ? target[i] : std::string()});
      if (dryRun_)
        outcome_.out += name + ": " + f.name + ":" + std::to_string(i) + ": " + Shown(current, i) + " -> " +
                        Shown(target, i) + "\n";
    }
    changed_.push_back({&w, std::move(target)});
  }

  void Write() {
    std::set<int> refused;
    for (size_t j = 0; j < changes_.size(); ++j) {
      const Change& c = changes_[j];
      if (host_.Write(file_, c.field, c.unit, c.value, j + 1 == changes_.size()) != ftSetSuccess)
        refused.insert(c.field);
    }
    host_.EndBatch();
    // The module does not report failed saves: read back what was written to be sure.
    std::vector<Field> fields;
    for (const auto& [w, target] : changed_) fields.push_back(*w->field);
    const BookResult after = ReadBook(host_, file_, fields);
    int written = 0;
    for (size_t k = 0; k < changed_.size(); ++k) {
      const Field& f = *changed_[k].first->field;
      if (refused.count(f.index)) {
        Problem(f.name, "not written: the module refused the value (a character no book can hold, "
                        "or the book cannot be changed)");
        continue;
      }
      const std::vector<std::string> now =
          after.error.empty() ? Current(f, after.fields[k]) : std::vector<std::string>{};
      if (!after.error.empty() || now != changed_[k].second) {
        std::string shown;
        for (size_t i = 0; i < now.size(); ++i) shown += (i ? ", " : "") + Json(now[i]);
        Problem(f.name, "the change is not in the saved book" +
                            (after.error.empty() ? " (it reads back as [" + shown + "])" : " (" + after.error + ")"));
        continue;
      }
      ++written;
    }
    if (written)
      outcome_.out += job_.record->file + ": " + std::to_string(written) + (written == 1 ? " field" : " fields") +
                      " written\n";
  }

  Host& host_;
  const Job& job_;
  const bool dryRun_;
  const std::vector<bool>& writable_;
  std::string file_;  // in the module's code page
  std::vector<Change> changes_;
  std::vector<std::pair<const Wanted*, std::vector<std::string>>> changed_;  // with the wanted values
  BookOutcome outcome_;
};

// The books of the records and the fields to write into each (those --fields names, when
// given). Skipped records, repeated books and unknown fields are reported; failed tells
// whether any of them counts as a failure.
std::vector<Job> PlanJobs(const Host& host, const std::vector<Record>& records, const std::set<int>& selected,
                          const std::string& label, bool& failed) {
  std::vector<Job> jobs;
  std::set<std::string> unknown, seen;
  for (const Record& r : records) {
    if (!r.error.empty()) {
      Fail(r.file + ": skipped: " + r.error);
      continue;
    }
    if (!seen.insert(r.file).second) {
      Fail(label + ": " + r.where + ": " + r.file + " is listed again: only its first record is applied");
      failed = true;
      continue;
    }
    Job job{&r, {}};
    for (const auto& [name, value] : r.fields) {
      const Field* f = host.FindField(name);
      if (!f) {
        unknown.insert(name);
      } else if (selected.empty() || selected.count(f->index)) {
        job.wanted.push_back({f, value});
      }
    }
    jobs.push_back(std::move(job));
  }
  for (const std::string& name : unknown) Fail(label + ": unknown field '" + name + "' (see 'velarin fields'): not applied");
  failed = failed || !unknown.empty();
  return jobs;
}

}  // namespace

int Apply(Host& host, const Invocation& inv) {
  const std::string& input = inv.args[0];
  const std::string label = input == "-" ? "standard input" : input;
  std::string text, error;
  if (!ReadInput(input, text, error)) {
    Fail(label + ": cannot be read: " + error);
    return kExitFailed;
  }
  const std::string lower = platform::AsciiLower(input);
  const bool csv = lower.size() > 4 && lower.compare(lower.size() - 4, 4, ".csv") == 0;
  std::vector<Record> records;
  std::vector<std::string> problems;
  if (!(csv ? ReadCsvRecords(text, host, records, problems, error) : ReadJsonRecords(text, records, problems, error))) {
    Fail(label + ": " + error + ": nothing applied");
    return kExitFailed;
  }
  bool failed = !problems.empty();
  for (const std::string& p : problems) Fail(label + ": " + p);

  // --fields narrows what is applied; other fields in the file are left alone
  std::set<int> selected;
  for (const std::string& key : inv.fields) {
    const Field* f = host.FindField(key);
    if (!f) return Usage("unknown field '" + key + "' in --fields (see 'velarin fields')");
    selected.insert(f->index);
  }
  const std::vector<Job> jobs = PlanJobs(host, records, selected, label, failed);
  const std::vector<bool> writable = jobs.empty() ? std::vector<bool>() : WritableFields(host);
  Progress progress(jobs.size());
  size_t booksFailed = 0;
  auto work = [&](size_t i) { return BookApplier(host, jobs[i], inv.dryRun, writable).Run(); };
  // a book whose worker stopped may or may not have been saved: say so
  auto lost = [&](size_t i, const std::string& why) {
    BookOutcome outcome;
    outcome.err = "velarin: " + jobs[i].record->file + ": " + why + ": its changes may be missing\n";
    return outcome;
  };
  auto deliver = [&](size_t, const BookOutcome& outcome) {
    booksFailed += outcome.failed;
    std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
    std::fflush(stdout);
    if (!outcome.err.empty()) {
      progress.Clear();
      std::fputs(outcome.err.c_str(), stderr);
    }
    progress.Done(outcome.failed);
  };
  RunOrdered(jobs.size(), inv.jobs, work, deliver, lost);
  progress.Clear();
  if (booksFailed)
    Fail(std::to_string(booksFailed) + " of " + std::to_string(jobs.size()) + " books were not updated as asked");
  return failed || booksFailed ? kExitFailed : kExitOk;
}

}  // namespace velarin::cli
