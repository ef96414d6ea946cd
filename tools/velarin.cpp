// velarin: command-line host that loads velarin.wdx like a file manager and lists or edits book fields.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "platform/text.h"
#include "plugin/wdxcodes.h"
#include "tools/wdxmodule.h"
#include "velarin/version.h"
#ifdef _WIN32
#include "platform/codepage.h"
#endif

namespace fs = std::filesystem;
using velarin::tools::WdxModule;

namespace {

// Exit statuses.
enum : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };
constexpr int kValueBufferSize = 2049;  // what Linux file managers hand in
constexpr int kNameBufferSize = 256;
constexpr int kMaxUnits = 100000;        // occurrences listed per repeated field at most

// The module a file manager of this program's kind loads: a 64-bit Windows process
// cannot load the 32-bit velarin.wdx and takes its twin velarin.wdx64.
#ifdef _WIN64
#define MODULE_NAME "velarin.wdx64"
#else
#define MODULE_NAME "velarin.wdx"
#endif
#ifdef _WIN32
#define MODULE_WHERE ""
#else
// an installed velarin (/usr/bin) finds the module in /usr/lib/velarin
#define MODULE_INSTALLED_DIR "../lib/velarin"
#define MODULE_WHERE ",\nor, installed, in " MODULE_INSTALLED_DIR " from its folder (/usr/lib/velarin for /usr/bin/velarin)"
#endif

const char kUsage[] =
    "usage: velarin [--module PATH] COMMAND ...\n"
    "       velarin --version | --help\n"
    "  fields                              list the fields (index, name, units)\n"
    "  show [--json] PATH...               every field of each book; folders are searched recursively\n"
    "  get FILE FIELD[:UNIT]               one field; a repeated field without unit prints every occurrence\n"
    "  set FILE FIELD[:UNIT] VALUE ...     write fields; UNIT '+' adds an occurrence, an empty VALUE removes\n"
    "FIELD is a field name or index. --module defaults to " MODULE_NAME " beside this program" MODULE_WHERE ".\n";

struct Field {
  int index;
  std::string name;
  std::string units;
  bool Repeated() const { return !units.empty(); }
};

// One answer of ContentGetValue.
struct Reading {
  int code = ftFileError;
  std::string text;
  std::int32_t number = 0;
};

std::string Meaning(int code) {
  switch (code) {
    case ftNoSuchField:
      return "the module has no such field (check velarin.xml beside the module)";
    case ftFileError:
      return "the book cannot be read (missing, not readable, not XML, no FictionBook element), "
             "or this field cannot be taken from it";
    case ftFieldEmpty:
      return "the field is empty in this book";
    default: return "unexpected answer " + std::to_string(code) + " from the module";
  }
}

void Fail(const std::string& message) { std::fprintf(stderr, "velarin: %s\n", message.c_str()); }

std::string ExecutableDirectory() {
#ifdef _WIN32
  char path[MAX_PATH] = {};
  DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return fs::path(std::string(path, n)).parent_path().string();
#else
  std::error_code ec;
  fs::path exe = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string(".") : exe.parent_path().string();
#endif
}

// The module beside this program; else, for an installed program, where the package puts it.
std::string DefaultModulePath() {
  const fs::path here = fs::path(ExecutableDirectory());
  const fs::path beside = here / MODULE_NAME;
#ifdef MODULE_INSTALLED_DIR
  std::error_code ec;
  const fs::path installed = here / MODULE_INSTALLED_DIR / MODULE_NAME;
  if (!fs::exists(beside, ec) && fs::exists(installed, ec)) return installed.lexically_normal().string();
#endif
  return beside.string();
}

class Host {
 public:
  std::string Load(const std::string& path) {
    std::string error = module_.Load(path);
    if (!error.empty()) return error;
    char name[kNameBufferSize];
    char units[kNameBufferSize];
    for (int i = 0; i < 10000; ++i) {
      std::memset(name, 0, sizeof name);
      std::memset(units, 0, sizeof units);
      if (module_.GetSupportedField(i, name, units, kNameBufferSize) != ftString) break;
      fields_.push_back({i, name, units});
    }
    return std::string();
  }

  const std::vector<Field>& Fields() const { return fields_; }

  const Field* FindField(const std::string& key) const {
    for (const Field& f : fields_)
      if (f.name == key) return &f;
    if (!key.empty() && std::all_of(key.begin(), key.end(), [](char c) { return c >= '0' && c <= '9'; })) {
      const long index = key.size() < 6 ? std::stol(key) : -1;
      for (const Field& f : fields_)
        if (f.index == index) return &f;
    }
    return nullptr;
  }

  Reading Read(const std::string& file, int field, int unit) {
    char buffer[kValueBufferSize];
    std::memset(buffer, 0, sizeof buffer);
    Reading r;
    r.code = module_.GetValue(file.c_str(), field, unit, buffer, kValueBufferSize, 0);
    if (r.code == ftString) r.text.assign(buffer, strnlen(buffer, sizeof buffer));
    if (r.code == ftNumeric32) {
      const auto* b = reinterpret_cast<const unsigned char*>(buffer);
      r.number = std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                              std::uint32_t(b[3]) << 24);
    }
    return r;
  }

  int Write(const std::string& file, int field, int unit, const std::string& value, bool last) {
    return module_.SetValue(file.c_str(), field, unit, ftString, value.c_str(), last ? setFlagLastField : 0);
  }

  void EndBatch() { module_.SetValue("", -1, 0, 0, "", 0); }

 private:
  WdxModule module_;
  std::vector<Field> fields_;
};

// ---- show ------------------------------------------------------------------

// What one field of one book holds.
struct FieldResult {
  int code = ftFieldEmpty;           // ftString, ftNumeric32, ftFieldEmpty, or the failing code
  std::vector<std::string> values;   // the occurrences (one for a plain string field)
  std::int32_t number = 0;
};

struct BookResult {
  std::string file;
  std::string error;  // the whole book failed
  std::vector<FieldResult> fields;
};

BookResult ReadBook(Host& host, const std::string& file) {
  BookResult book;
  book.file = file;
  int failures = 0;
  for (const Field& f : host.Fields()) {
    FieldResult result;
    if (f.Repeated()) {
      for (int unit = 0; unit < kMaxUnits; ++unit) {
        Reading r = host.Read(file, f.index, unit);
        if (r.code == ftString) {
          result.values.push_back(std::move(r.text));
          result.code = ftString;
          continue;
        }
        if (r.code != ftFieldEmpty && r.code != ftNumeric32) result.code = r.code;
        break;
      }
    } else {
      Reading r = host.Read(file, f.index, 0);
      result.code = r.code;
      if (r.code == ftString) result.values.push_back(std::move(r.text));
      if (r.code == ftNumeric32) result.number = r.number;
    }
    if (result.code == ftFileError) ++failures;
    book.fields.push_back(std::move(result));
  }
  if (!book.fields.empty() && failures == int(book.fields.size())) {
    std::error_code ec;
    if (!fs::exists(fs::u8path(file), ec))
      book.error = "no such file";
    else if (fs::is_directory(fs::u8path(file), ec))
      book.error = "a folder, not a book";
    else
      book.error = "cannot read the book: the file is not readable, not XML, or has no FictionBook element";
  }
  return book;
}

// Display width of UTF-8 text: one column per character.
size_t Width(const std::string& s) {
  size_t n = 0;
  for (unsigned char c : s) n += (c & 0xC0) != 0x80;
  return n;
}

void PrintTable(const Host& host, const BookResult& book) {
  std::printf("%s\n", book.file.c_str());
  if (!book.error.empty()) {
    std::printf("  (%s)\n", book.error.c_str());
    return;
  }
  size_t width = 0;
  for (const Field& f : host.Fields()) width = std::max(width, Width(f.name) + (f.Repeated() ? 2 : 0));
  auto line = [&](const std::string& label, const std::string& value) {
    std::printf("  %s%*s  %s\n", label.c_str(), int(width - std::min(width, Width(label))), "", value.c_str());
  };
  for (size_t i = 0; i < book.fields.size(); ++i) {
    const Field& f = host.Fields()[i];
    const FieldResult& r = book.fields[i];
    if (r.code == ftNumeric32) {
      line(f.name, std::to_string(r.number));
    } else if (r.code == ftFileError) {
      line(f.name, "(cannot be read from this book)");
    } else if (f.Repeated()) {
      for (size_t u = 0; u < r.values.size(); ++u) line(f.name + ":" + std::to_string(u), r.values[u]);
    } else if (r.code == ftString && !r.values.empty() && !r.values[0].empty()) {
      line(f.name, r.values[0]);
    }
  }
}

// JSON string, always UTF-8 (what JSON readers expect), while the module answers in
// the system code page: on Windows the ANSI text is converted first. Bytes that are
// not UTF-8 become U+FFFD so the output stays valid.
std::string Json(const std::string& text) {
#ifdef _WIN32
  const std::string s = velarin::platform::WideToUtf8(velarin::platform::SysToWide(text));
#else
  const std::string& s = text;
#endif
  std::string out = "\"";
  for (size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
      ++i;
    } else if (c < 0x20) {
      char esc[8];
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: std::snprintf(esc, sizeof esc, "\\u%04x", c); out += esc;
      }
      ++i;
    } else if (c < 0x80) {
      out += char(c);
      ++i;
    } else {
      size_t len = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
      bool valid = len > 0 && i + len <= s.size();
      for (size_t k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(s[i + k]) & 0xC0) == 0x80;
      if (valid) {
        out.append(s, i, len);
        i += len;
      } else {
        out += "\xEF\xBF\xBD";
        ++i;
      }
    }
  }
  return out + "\"";
}

void PrintJson(const Host& host, const BookResult& book, bool first) {
  std::printf("%s\n  {\"file\": %s", first ? "" : ",", Json(book.file).c_str());
  if (!book.error.empty()) {
    std::printf(", \"error\": %s}", Json(book.error).c_str());
    return;
  }
  std::string fields, errors;
  for (size_t i = 0; i < book.fields.size(); ++i) {
    const Field& f = host.Fields()[i];
    const FieldResult& r = book.fields[i];
    std::string value;
    if (r.code == ftNumeric32) {
      value = std::to_string(r.number);
    } else if (f.Repeated() && r.code != ftFileError) {
      value = "[";
      for (size_t u = 0; u < r.values.size(); ++u) value += (u ? ", " : "") + Json(r.values[u]);
      value += "]";
    } else if (r.code == ftString && !r.values.empty()) {
      value = Json(r.values[0]);
    } else {
      value = "null";
      if (r.code == ftFileError) errors += (errors.empty() ? "" : ", ") + Json(f.name) + ": " + Json(Meaning(r.code));
    }
    fields += (fields.empty() ? "" : ", ") + Json(f.name) + ": " + value;
  }
  std::printf(", \"fields\": {%s}", fields.c_str());
  if (!errors.empty()) std::printf(", \"errors\": {%s}", errors.c_str());
  std::printf("}");
}

bool IsBookName(const fs::path& p) {
  const std::string ext = velarin::platform::AsciiLower(p.extension().string());
  return ext == ".fb2" || ext == ".zip" || ext == ".fbz";
}

// Files named on the command line, and the books inside named folders, sorted per folder.
std::vector<std::string> CollectBooks(const std::vector<std::string>& paths, bool& anyFolder) {
  std::vector<std::string> books;
  for (const std::string& p : paths) {
    std::error_code ec;
    const fs::path path = fs::u8path(p);
    if (!fs::is_directory(path, ec)) {
      books.push_back(p);
      continue;
    }
    anyFolder = true;
    std::vector<std::string> found;
    for (fs::recursive_directory_iterator it(path, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
      std::error_code fileEc;
      if (it->is_regular_file(fileEc) && IsBookName(it->path())) found.push_back(it->path().u8string());
    }
    if (ec) Fail(p + ": cannot search the whole folder: " + ec.message());
    std::sort(found.begin(), found.end());
    books.insert(books.end(), found.begin(), found.end());
  }
  return books;
}

int Show(Host& host, const std::vector<std::string>& paths, bool json) {
  bool anyFolder = false;
  const std::vector<std::string> books = CollectBooks(paths, anyFolder);
  const bool progress = anyFolder && isatty(fileno(stderr));
  const auto start = std::chrono::steady_clock::now();
  auto lastShown = start;
  bool progressShown = false;
  int failed = 0;
  if (json) std::printf("[");
  for (size_t i = 0; i < books.size(); ++i) {
    const BookResult book = ReadBook(host, books[i]);
    if (!book.error.empty()) {
      ++failed;
      if (progressShown) std::fprintf(stderr, "\r\033[K");
      Fail(book.file + ": " + book.error);
    }
    if (json)
      PrintJson(host, book, i == 0);
    else
      PrintTable(host, book);
    const auto now = std::chrono::steady_clock::now();
    if (progress && now - start > std::chrono::seconds(1) && now - lastShown > std::chrono::milliseconds(200)) {
      std::fflush(stdout);
      std::fprintf(stderr, "\r\033[Kvelarin: %zu of %zu books read", i + 1, books.size());
      std::fflush(stderr);
      lastShown = now;
      progressShown = true;
    }
  }
  if (json) std::printf("%s]\n", books.empty() ? "" : "\n");
  if (progressShown) std::fprintf(stderr, "\r\033[K");
  return failed ? kExitFailed : kExitOk;
}

// ---- get / set ---------------------------------------------------------------

struct FieldRef {
  const Field* field = nullptr;
  std::optional<int> unit;  // none: not given; -1: '+'
};

// FIELD or FIELD:UNIT; answers false with a message for a bad reference.
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

int Get(Host& host, const std::string& file, const FieldRef& ref) {
  const Field& f = *ref.field;
  const bool all = f.Repeated() && !ref.unit;
  for (int unit = ref.unit.value_or(0); unit < kMaxUnits; ++unit) {
    const Reading r = host.Read(file, f.index, unit);
    if (r.code == ftString) {
      std::printf("%s\n", r.text.c_str());
    } else if (r.code == ftNumeric32) {
      std::printf("%d\n", int(r.number));
    } else if (r.code != ftFieldEmpty) {
      Fail(file + ": " + f.name + ": " + Meaning(r.code));
      return kExitFailed;
    }
    if (!all || r.code != ftString) break;
  }
  return kExitOk;
}

struct Assignment {
  FieldRef ref;
  std::string value;
};

int Set(Host& host, const std::string& file, const std::vector<Assignment>& assignments) {
  int failed = 0;
  std::vector<bool> written(assignments.size(), false);
  for (size_t i = 0; i < assignments.size(); ++i) {
    const Assignment& a = assignments[i];
    const int unit = a.ref.unit.value_or(0);
    const int code = host.Write(file, a.ref.field->index, unit, a.value, i + 1 == assignments.size());
    if (code == ftNoMoreFields) {
      written[i] = true;
      continue;
    }
    ++failed;
    Fail(file + ": " + a.ref.field->name + ": not written: " +
         (a.value.empty() ? "there is nothing to remove there, " : "") +
         "the field is read-only (a template or special field), or the book cannot be loaded or changed");
  }
  host.EndBatch();
  // The module does not report failed saves: read back what was written to be sure.
  std::map<int, int> perField;
  for (const Assignment& a : assignments) ++perField[a.ref.field->index];
  for (size_t i = 0; i < assignments.size(); ++i) {
    const Assignment& a = assignments[i];
    if (!written[i] || perField[a.ref.field->index] != 1) continue;
    if (a.value.empty() && a.ref.field->Repeated()) continue;  // later occurrences move up: nothing fixed to check
    const Reading r = host.Read(file, a.ref.field->index, std::max(0, a.ref.unit.value_or(0)));
    const bool ok = a.value.empty() ? (r.code == ftFieldEmpty || (r.code == ftString && r.text.empty()))
                                    : (r.code == ftString && r.text == a.value);
    if (!ok) {
      ++failed;
      Fail(file + ": " + a.ref.field->name + ": the change is not in the saved book" +
           (r.code == ftFileError ? " (the book cannot be read back)" : " (it reads back differently)"));
    }
  }
  return failed ? kExitFailed : kExitOk;
}

// What the command line asked for.
struct Invocation {
  std::string modulePath;
  bool json = false;
  std::string command;
  std::vector<std::string> args;
};

int Usage(const std::string& why) {
  Fail(why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

// Reads the options and the command; answers an exit status when the run ends here.
std::optional<int> ParseCommandLine(int argc, char** argv, Invocation& inv) {
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (!optionsDone && a == "--") {
      optionsDone = true;
    } else if (!optionsDone && a == "--module") {
      if (i + 1 >= argc) {
        Fail("--module needs a path");
        return kExitUsage;
      }
      inv.modulePath = argv[++i];
    } else if (!optionsDone && a.rfind("--module=", 0) == 0) {
      inv.modulePath = a.substr(9);
    } else if (!optionsDone && a == "--json") {
      inv.json = true;
    } else if (!optionsDone && (a == "--help" || a == "-h")) {
      std::fputs(kUsage, stdout);
      return kExitOk;
    } else if (!optionsDone && a == "--version") {
      std::puts("velarin " VELARIN_VERSION);
      return kExitOk;
    } else if (!optionsDone && a.size() > 1 && a[0] == '-' && a != "-") {
      return Usage("unknown option " + a);
    } else {
      inv.args.push_back(a);
    }
  }
  if (inv.args.empty()) return Usage("no command given");
  inv.command = inv.args[0];
  inv.args.erase(inv.args.begin());
  return std::nullopt;
}

// Checks the command's name and the count of its arguments; "" when they fit.
std::string CheckArguments(const Invocation& inv) {
  const std::string& c = inv.command;
  const size_t n = inv.args.size();
  if (c != "fields" && c != "show" && c != "get" && c != "set") return "unknown command '" + c + "'";
  if (c == "fields" && n != 0) return "fields takes no arguments";
  if (c == "show" && n == 0) return "show needs at least one file or folder";
  if (c == "get" && n != 2) return "get needs FILE and FIELD[:UNIT]";
  if (c == "set" && (n < 3 || n % 2 == 0)) return "set needs FILE and one or more FIELD[:UNIT] VALUE pairs";
  return "";
}

int ListFields(Host& host, bool json) {
  if (host.Fields().empty()) Fail("the module offers no fields: velarin.xml beside it is missing or unusable");
  if (json) {
    std::printf("[");
    for (const Field& f : host.Fields())
      std::printf("%s\n  {\"index\": %d, \"name\": %s, \"units\": %s}", f.index ? "," : "", f.index,
                  Json(f.name).c_str(), Json(f.units).c_str());
    std::printf("%s]\n", host.Fields().empty() ? "" : "\n");
  } else {
    for (const Field& f : host.Fields()) std::printf("%3d  %-20s %s\n", f.index, f.name.c_str(), f.units.c_str());
  }
  return host.Fields().empty() ? kExitFailed : kExitOk;
}

int RunGet(Host& host, const std::vector<std::string>& args) {
  FieldRef ref;
  std::string why;
  if (!ParseFieldRef(host, args[1], false, ref, why)) return Usage(why);
  return Get(host, args[0], ref);
}

int RunSet(Host& host, const std::vector<std::string>& args) {
  std::vector<Assignment> assignments;
  for (size_t i = 1; i + 1 < args.size(); i += 2) {
    Assignment a;
    std::string why;
    if (!ParseFieldRef(host, args[i], true, a.ref, why)) return Usage(why);
    a.value = args[i + 1];
    assignments.push_back(std::move(a));
  }
  return Set(host, args[0], assignments);
}

}  // namespace

int main(int argc, char** argv) {
  Invocation inv;
  if (std::optional<int> done = ParseCommandLine(argc, argv, inv)) return *done;
  const std::string why = CheckArguments(inv);
  if (!why.empty()) return Usage(why);

  if (inv.modulePath.empty()) inv.modulePath = DefaultModulePath();
  Host host;
  const std::string error = host.Load(inv.modulePath);
  if (!error.empty()) {
    Fail(error);
    return kExitFailed;
  }
  if (inv.command == "fields") return ListFields(host, inv.json);
  if (inv.command == "show") return Show(host, inv.args, inv.json);
  if (inv.command == "get") return RunGet(host, inv.args);
  return RunSet(host, inv.args);
}
