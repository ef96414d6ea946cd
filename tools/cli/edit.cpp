// Fields named on the command line, read one by one, and written in one batch.
#include "tools/cli/edit.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <system_error>

#include "plugin/wdxcodes.h"
#include "tools/cli/books.h"
#include "tools/cli/workers.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace velarin::cli {

bool ParseFieldRef(const Host& host, const std::string& text, bool allowAdd, FieldRef& ref, std::string& error) {
  std::string name = text;
  if (!host.FindField(text)) {
    const size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
      const std::string unit = text.substr(colon + 1);
      name = text.substr(0, colon);
      if (unit == "+" && allowAdd) {
        ref.unit = -1;
      } else if (!unit.empty() && unit.size() < 7 &&
                 std::all_of(unit.begin(), unit.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        ref.unit = std::stoi(unit);
      } else {
        error = "bad unit '" + unit + "' in '" + text + "' (a number from 0" + (allowAdd ? ", or '+'" : "") + ")";
        return false;
      }
    }
  }
  ref.field = host.FindField(name);
  if (!ref.field) {
    error = "unknown field '" + name + "' (see 'velarin fields')";
    return false;
  }
  if (ref.unit && !ref.field->Repeated()) {
    error = "field '" + ref.field->name + "' is not repeated: it takes no unit";
    return false;
  }
  return true;
}

namespace {

// A book's state on disk, to tell whether a save touched it.
struct FileStamp {
  bool exists = false;
  std::uintmax_t size = 0;
  fs::file_time_type time;
  bool operator==(const FileStamp& o) const { return exists == o.exists && size == o.size && time == o.time; }
};

FileStamp Stamp(const std::string& file) {
  FileStamp s;
  std::error_code ec;
  const fs::path p = fs::u8path(file);
  s.size = fs::file_size(p, ec);
  if (ec) return s;
  s.time = fs::last_write_time(p, ec);
  s.exists = !ec;
  return s;
}

// Whether the module may save the file: it never writes a file without write permission
// (even where root could), nor one this user cannot write.
bool Writable(const std::string& file) {
  std::error_code ec;
  const fs::perms p = fs::status(fs::u8path(file), ec).permissions();
  constexpr fs::perms kAnyWrite = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if (ec || (p & kAnyWrite) == fs::perms::none) return false;
#ifdef _WIN32
  return true;
#else
  return access(file.c_str(), W_OK) == 0;
#endif
}

std::string Label(const Assignment& a) {
  if (!a.ref.unit) return a.ref.field->name;
  return a.ref.field->name + ":" + (*a.ref.unit < 0 ? std::string("+") : std::to_string(*a.ref.unit));
}

// Bytes no XML text may hold; the module refuses them.
bool HasControlCharacters(const std::string& value) {
  return std::any_of(value.begin(), value.end(), [](char c) {
    const unsigned char u = static_cast<unsigned char>(c);
    return u < 0x20 && u != '\t' && u != '\n' && u != '\r';
  });
}

// The occurrences a repeated field has now.
int Occurrences(Host& host, const std::string& file, const Field& f) {
  int n = 0;
  while (n < kMaxUnits && host.Read(file, f.index, n).code == ftString) ++n;
  return n;
}

// Why the module refused a write to a book it can read, as far as its answers show.
std::string WhyRefused(Host& host, const std::string& file, const Assignment& a) {
  if (HasControlCharacters(a.value)) return "the value holds control characters, which a book cannot hold";
  if (a.value.empty() && a.ref.field->Repeated()) {
    if (a.ref.unit == -1) return "there is nothing to remove there ('+' adds an occurrence)";
    if (host.Read(file, a.ref.field->index, std::max(0, a.ref.unit.value_or(0))).code == ftFieldEmpty)
      return "there is nothing to remove there";
    return "the module refused the change";
  }
  return "the field cannot be written (a read-only template or special field)";
}

// A value on one line: the separators and line ends written as \t, \n, \r, and \ as \\.
std::string Escaped(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      default: out += c;
    }
  }
  return out;
}

}  // namespace

int Get(Host& host, const std::string& file, const FieldRef& ref) {
  const Field& f = *ref.field;
  const bool all = f.Repeated() && !ref.unit;
  for (int unit = ref.unit.value_or(0); unit < kMaxUnits; ++unit) {
    const Reading r = host.Read(file, f.index, unit);
    if (r.code == ftString) {
      std::printf("%s\n", r.text.c_str());
    } else if (r.code == ftNumeric32) {
      std::printf("%d\n", int(r.number));
    } else if (r.code == ftFileError) {
      // reading another field tells an unreadable book from a field this book cannot give
      Fail(BookReadable(host, file) ? file + ": " + f.name + ": this field cannot be taken from this book"
                                    : file + ": " + WhyUnreadable(file));
      return kExitFailed;
    } else if (r.code != ftFieldEmpty) {
      Fail(file + ": " + f.name + ": " + Meaning(r.code));
      return kExitFailed;
    }
    if (!all || r.code != ftString) break;
  }
  return kExitOk;
}

int GetFields(Host& host, const Invocation& inv, bool singleFile) {
  bool anyFolder = false;
  const std::vector<std::string> books = CollectBooks(inv.args, anyFolder);
  const bool named = !singleFile || anyFolder;
  auto work = [&](size_t i) {
    const BookResult book = ReadBook(host, books[i]);
    BookOutcome outcome;
    if (!book.error.empty()) {
      outcome.failed = true;
      outcome.err = "velarin: " + book.file + ": " + book.error + "\n";
      return outcome;
    }
    const std::string prefix = named ? Escaped(book.file) + "\t" : std::string();
    for (size_t k = 0; k < book.fields.size(); ++k) {
      const Field& f = host.Fields()[k];
      const FieldResult& r = book.fields[k];
      if (r.code == ftNumeric32) {
        outcome.out += prefix + f.name + "\t" + std::to_string(r.number) + "\n";
      } else if (r.code == ftFileError) {
        outcome.failed = true;
        outcome.err += "velarin: " + book.file + ": " + f.name + ": this field cannot be taken from this book\n";
      } else if (f.Repeated()) {
        for (size_t u = 0; u < r.values.size(); ++u)
          outcome.out += prefix + f.name + ":" + std::to_string(u) + "\t" + Escaped(r.values[u]) + "\n";
      } else if (r.code == ftString && !r.values.empty() && !r.values[0].empty()) {
        outcome.out += prefix + f.name + "\t" + Escaped(r.values[0]) + "\n";
      }
    }
    return outcome;
  };
  int failed = 0;
  auto deliver = [&](size_t, const BookOutcome& outcome) {
    if (outcome.failed) ++failed;
    std::fputs(outcome.err.c_str(), stderr);
    std::fwrite(outcome.out.data(), 1, outcome.out.size(), stdout);
  };
  RunOrdered(books.size(), inv.jobs, work, deliver);
  return failed ? kExitFailed : kExitOk;
}

int Set(Host& host, const std::string& file, const std::vector<Assignment>& assignments) {
  const FileStamp before = Stamp(file);
  std::vector<bool> written(assignments.size(), false);
  std::vector<size_t> refused;
  for (size_t i = 0; i < assignments.size(); ++i) {
    const Assignment& a = assignments[i];
    const int unit = a.ref.unit.value_or(0);
    const int code = host.Write(file, a.ref.field->index, unit, a.value, i + 1 == assignments.size());
    if (code == ftSetSuccess) {
      written[i] = true;
    } else {
      refused.push_back(i);
    }
  }
  host.EndBatch();
  int failed = 0;
  if (!refused.empty()) {
    // every write fails on a book the module cannot read: one message says why
    if (!BookReadable(host, file)) {
      Fail(file + ": " + WhyUnreadable(file));
      return kExitFailed;
    }
    for (size_t i : refused) {
      ++failed;
      Fail(file + ": " + Label(assignments[i]) + ": not written: " + WhyRefused(host, file, assignments[i]));
    }
  }
  // The module does not report failed saves: read back what was written to be sure.
  std::map<int, int> perField;
  for (const Assignment& a : assignments) ++perField[a.ref.field->index];
  std::vector<std::string> differing;
  size_t checked = 0;
  for (size_t i = 0; i < assignments.size(); ++i) {
    const Assignment& a = assignments[i];
    if (!written[i] || perField[a.ref.field->index] != 1) continue;
    if (a.value.empty() && a.ref.field->Repeated()) continue;  // later occurrences move up: nothing fixed to check
    ++checked;
    const int unit = std::max(0, a.ref.unit.value_or(0));
    Reading r = host.Read(file, a.ref.field->index, unit);
    if (r.code == ftFieldEmpty && !a.value.empty() && a.ref.field->Repeated() && unit > 0) {
      // a unit past the last occurrence adds one after the last
      const int last = Occurrences(host, file, *a.ref.field) - 1;
      if (last >= 0 && last < unit) {
        r = host.Read(file, a.ref.field->index, last);
        if (r.code == ftString && r.text == a.value) {
          Fail(file + ": " + Label(a) + ": the book had fewer occurrences: written as " + a.ref.field->name + ":" +
               std::to_string(last));
          continue;
        }
      }
    }
    const bool ok = a.value.empty() ? (r.code == ftFieldEmpty || (r.code == ftString && r.text.empty()))
                                    : (r.code == ftString && r.text == a.value);
    if (!ok)
      differing.push_back(Label(a) + ": the change is not in the saved book" +
                          (r.code == ftFileError ? " (the book cannot be read back)" : " (it reads back differently)"));
  }
  if (!differing.empty()) {
    failed += int(differing.size());
    const bool writable = Writable(file);
    if (differing.size() == checked && (!writable || Stamp(file) == before)) {
      Fail(file + ": the book was not saved" + (writable ? "" : ": the file is read-only"));
    } else {
      for (const std::string& d : differing) Fail(file + ": " + d);
    }
  }
  return failed ? kExitFailed : kExitOk;
}

}  // namespace velarin::cli
