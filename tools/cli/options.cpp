// The command line: options, the command and its arguments, and the usage text.
#include "tools/cli/options.h"

#include <algorithm>
#include <cstdio>

#include "tools/cli/host.h"
#include "velarin/version.h"

namespace velarin::cli {
namespace {

#ifdef VELARIN_MODULE_INSTALLED_DIR
#define MODULE_WHERE \
  ",\n                    or, installed, " VELARIN_MODULE_INSTALLED_DIR " from its folder (/usr/lib/velarin)"
#else
#define MODULE_WHERE ""
#endif

// The usage lines and the commands: printed on bad usage, and at the top of --help.
const char kUsage[] =
    "Usage: velarin [OPTION]... COMMAND [ARGUMENT]...\n"
    "  or:  velarin help [COMMAND] | --help | --version\n"
    "Shows and edits the metadata of FictionBook 2 e-books through the " VELARIN_MODULE_NAME " content plug-in.\n"
    "\n"
    "Commands:\n"
    "  fields                            list the fields (index, name, units)\n"
    "  show PATH...                      every field of each book; folders are searched recursively\n"
    "  get FILE FIELD[:UNIT]             one field; a repeated field without unit prints every occurrence\n"
    "  get --fields LIST PATH...         the fields listed, one FIELD<TAB>VALUE line per value\n"
    "  set FILE FIELD[:UNIT] VALUE ...   write fields; UNIT '+' adds an occurrence, an empty VALUE removes\n"
    "  apply [--dry-run] FILE            write back what was changed in the output of show --json or --csv\n"
    "  help [COMMAND]                    this text, or a command's options and examples\n";

// The rest of --help: options, arguments, exit status.
const char kOptions[] =
    "\n"
    "Options:\n"
    "  --fields LIST     show, get: only these fields (names or indexes, comma-separated), in this order\n"
    "  --json            fields, show: JSON output\n"
    "  --csv             show: CSV output, a header line and one line per book\n"
    "  -0, --null        the list read from '-' ends each name with NUL (find -print0), not a line end\n"
    "  -j, --jobs N      show, get --fields, apply: N worker processes; default one per core\n"
    "  -n, --dry-run     apply: print the changes, write nothing\n"
    "  --module PATH     the module to load; default " VELARIN_MODULE_NAME " beside this program" MODULE_WHERE "\n"
    "  -h, --help        this text (with a command before it: that command's help)\n"
    "  --version         the version\n"
    "\n"
    "PATH is a book (.fb2, .fb2.zip, .fbz), a folder, searched recursively, or '-': names read from\n"
    "standard input, one per line. FIELD is a field name or index (see 'velarin fields'); UNIT picks\n"
    "an occurrence of a repeated field, from 0.\n"
    "\n"
    "Exit status: 0 all well, 1 a book (or the module) failed, 2 bad usage.\n";

struct Topic {
  const char* name;
  const char* text;
};

const Topic kTopics[] = {
    {"fields",
     "Usage: velarin fields [--json]\n"
     "Lists the fields the module offers, from velarin.xml beside it: index, name, and the units of\n"
     "a repeated field (1|2|3...). Any field can be named by its name or its index.\n"
     "\n"
     "Options:\n"
     "  --json   a JSON array of {\"index\", \"name\", \"units\"}\n"
     "\n"
     "Examples:\n"
     "  velarin fields\n"
     "  velarin fields --json\n"},
    {"show",
     "Usage: velarin show [--json | --csv] [--fields LIST] [-j N] [-0] PATH...\n"
     "Prints every field of each book: a table (repeated fields as FIELD:UNIT), JSON or CSV.\n"
     "Folders are searched recursively for .fb2, .zip and .fbz, sorted by name. A PATH of '-'\n"
     "reads the names from standard input. On a terminal, long runs show their progress on\n"
     "standard error. A book that cannot be read is named on standard error; the status is then 1.\n"
     "\n"
     "Options:\n"
     "  --json          a JSON array of {\"file\", \"fields\"} (or {\"file\", \"error\"}): what apply reads\n"
     "  --csv           a header line file,<fields>, then one line per book: what apply reads\n"
     "  --fields LIST   only these fields, in this order\n"
     "  -j N            N worker processes (default one per core); the output is the same\n"
     "  -0              names from '-' end with NUL, not a line end\n"
     "\n"
     "Examples:\n"
     "  velarin show book.fb2\n"
     "  velarin show --json --fields Title,Author lib > lib.json\n"
     "  find lib -name '*.fb2' -print0 | velarin show -0 -\n"},
    {"get",
     "Usage: velarin get FILE FIELD[:UNIT]\n"
     "       velarin get --fields LIST [-j N] [-0] PATH...\n"
     "The first form prints one field of one book, its value alone; a repeated field without UNIT\n"
     "prints every occurrence, one per line. An empty field prints nothing.\n"
     "The second prints the fields listed for every book, one FIELD<TAB>VALUE line per value (a\n"
     "repeated field as FIELD:UNIT), the book's name and a tab in front unless a single file is\n"
     "named. In these lines a tab, line end or backslash of a value is written \\t, \\n, \\r, \\\\.\n"
     "\n"
     "Options:\n"
     "  --fields LIST   the fields to print (names or indexes, comma-separated), in this order\n"
     "  -j N            N worker processes (default one per core); the output is the same\n"
     "  -0              names from '-' end with NUL, not a line end\n"
     "\n"
     "Examples:\n"
     "  velarin get book.fb2 Title\n"
     "  velarin get book.fb2 Author:1\n"
     "  velarin get --fields Title,Author,Series lib\n"
     "  ls *.fb2 | velarin get --fields Title -\n"},
    {"set",
     "Usage: velarin set FILE FIELD[:UNIT] VALUE [FIELD[:UNIT] VALUE]...\n"
     "Writes the values into one book, all in one batch, and reads them back to be sure they\n"
     "were saved. UNIT '+' adds an occurrence in front of the others; a UNIT past the last\n"
     "occurrence adds one after the last. An empty VALUE removes the field or the occurrence\n"
     "(later occurrences move up). Template fields (such as Authors) and special ones (Text size,\n"
     "Encoding) cannot be written.\n"
     "\n"
     "Examples:\n"
     "  velarin set book.fb2 Title \"New title\"\n"
     "  velarin set book.fb2 Series:+ Saga \"Series number:0\" 3\n"
     "  velarin set book.fb2 Author:1 Lund Keywords \"\"\n"},
    {"apply",
     "Usage: velarin apply [--dry-run] [-j N] FILE\n"
     "Reads the JSON that show --json writes, or the CSV that show --csv writes (a FILE ending in\n"
     ".csv; '-' is JSON on standard input), and writes into each book every field whose value\n"
     "differs from the book's, one batch per book. CSV: a header file,<fields>; the occurrences of\n"
     "a repeated field are joined by ';', written \\; and \\\\ inside a value.\n"
     "\n"
     "Options:\n"
     "  -n, --dry-run   print the changes, write nothing\n"
     "  -j N            N worker processes (default one per core); the output is the same\n"
     "\n"
     "Examples:\n"
     "  velarin show --json lib > lib.json; (edit lib.json); velarin apply lib.json\n"
     "  velarin show --csv --fields Title,Author lib > lib.csv; velarin apply --dry-run lib.csv\n"
     "  velarin show --json book.fb2 | sed 's/Old title/New title/' | velarin apply -\n"},
};

const Topic* FindTopic(const std::string& name) {
  for (const Topic& t : kTopics)
    if (name == t.name) return &t;
  return nullptr;
}

// help, help COMMAND: the text on standard output.
int Help(const std::vector<std::string>& topics) {
  if (topics.empty() || (topics.size() == 1 && topics[0] == "help")) {
    std::fputs(kUsage, stdout);
    std::fputs(kOptions, stdout);
    return kExitOk;
  }
  if (topics.size() > 1) return Usage("help takes one COMMAND");
  const Topic* t = FindTopic(topics[0]);
  if (!t) return Usage("no help on '" + topics.back() + "': the commands are fields, show, get, set, apply");
  std::fputs(t->text, stdout);
  return kExitOk;
}

}  // namespace

int Usage(const std::string& why) {
  Fail(why);
  std::fputs(kUsage, stderr);
  std::fputs("Options, and a command's examples: velarin help [COMMAND]\n", stderr);
  return kExitUsage;
}

namespace {

// A list of names separated by commas; empty items are dropped.
std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  size_t from = 0;
  while (from <= text.size()) {
    size_t comma = text.find(',', from);
    if (comma == std::string::npos) comma = text.size();
    if (comma > from) items.push_back(text.substr(from, comma - from));
    from = comma + 1;
  }
  return items;
}

// The value of an option given as "--name VALUE", "--name=VALUE" or, for a short option, "-jVALUE".
// Answers false when the argument is not this option; sets missing when its value is absent.
bool OptionValue(int argc, char** argv, int& i, const std::string& name, std::string& value, bool& missing) {
  const std::string a = argv[i];
  if (a == name) {
    if (i + 1 >= argc) {
      missing = true;
      return true;
    }
    value = argv[++i];
    return true;
  }
  const bool shortOption = name.size() == 2;
  const std::string prefix = shortOption ? name : name + "=";
  if (a.size() > prefix.size() && a.compare(0, prefix.size(), prefix) == 0) {
    value = a.substr(prefix.size());
    return true;
  }
  return false;
}

std::optional<int> ParseJobs(const std::string& value, Invocation& inv) {
  if (value.empty() || value.size() > 4 || value.find_first_not_of("0123456789") != std::string::npos ||
      std::stoi(value) < 1)
    return Usage("-j needs a number of worker processes from 1");
  inv.jobs = std::stoi(value);
  return std::nullopt;
}

}  // namespace

std::optional<int> ParseCommandLine(int argc, char** argv, Invocation& inv) {
  bool optionsDone = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    std::string value;
    bool missing = false;
    if (optionsDone || a == "-" || a.empty() || a[0] != '-') {
      inv.args.push_back(a);
    } else if (a == "--") {
      optionsDone = true;
    } else if (OptionValue(argc, argv, i, "--module", value, missing)) {
      if (missing) return Usage("--module needs a path");
      inv.modulePath = value;
    } else if (OptionValue(argc, argv, i, "-j", value, missing) ||
               OptionValue(argc, argv, i, "--jobs", value, missing)) {
      if (std::optional<int> bad = ParseJobs(value, inv)) return bad;
    } else if (OptionValue(argc, argv, i, "--fields", value, missing)) {
      inv.fields = SplitList(value);
      if (inv.fields.empty()) return Usage("--fields needs a list of field names, such as Title,Author");
    } else if (a == "--json") {
      inv.json = true;
    } else if (a == "--csv") {
      inv.csv = true;
    } else if (a == "--dry-run" || a == "-n") {
      inv.dryRun = true;
    } else if (a == "-0" || a == "--null") {
      inv.nullSeparated = true;
    } else if (a == "--help" || a == "-h") {
      // "velarin show --help" is "velarin help show"
      if (!inv.args.empty() && FindTopic(inv.args[0])) return Help({inv.args[0]});
      return Help({});
    } else if (a == "--version") {
      std::puts("velarin " VELARIN_VERSION);
      return kExitOk;
    } else {
      return Usage("unknown option " + a);
    }
  }
  if (inv.json && inv.csv) return Usage("--json and --csv exclude each other");
  if (inv.args.empty()) return Usage("no command given");
  inv.command = inv.args[0];
  inv.args.erase(inv.args.begin());
  if (inv.command == "help") return Help(inv.args);
  return std::nullopt;
}

std::string CheckArguments(const Invocation& inv) {
  const std::string& c = inv.command;
  const size_t n = inv.args.size();
  const bool list = !inv.fields.empty();  // get --fields takes many books
  if (c != "fields" && c != "show" && c != "get" && c != "set" && c != "apply") return "unknown command '" + c + "'";
  if (c == "fields" && n != 0) return "fields takes no arguments";
  if (c == "show" && n == 0) return "show needs at least one file or folder ('-': names on standard input)";
  if (c == "get" && list && n == 0) return "get --fields needs at least one file or folder";
  if (c == "get" && !list && n != 2) return "get needs FILE and FIELD[:UNIT], or --fields LIST and files";
  if (c == "set" && (n < 3 || n % 2 == 0)) return "set needs FILE and one or more FIELD[:UNIT] VALUE pairs";
  if (c == "apply" && n != 1) return "apply needs one FILE (what show --json or show --csv wrote)";
  // options that would be ignored are refused, so nobody relies on them
  const bool manyBooks = c == "show" || (c == "get" && list);
  if (inv.json && c != "fields" && c != "show") return "--json is for fields and show";
  if (inv.csv && c != "show") return "--csv is for show";
  if (list && c != "show" && c != "get" && c != "apply") return "--fields is for show, get and apply";
  if (inv.jobs && !manyBooks && c != "apply") return "-j is for show, get --fields and apply";
  if (inv.dryRun && c != "apply") return "--dry-run is for apply";
  const bool dash = std::find(inv.args.begin(), inv.args.end(), "-") != inv.args.end();
  if (dash && !manyBooks && c != "apply")
    return "'-' (names on standard input) is for show and get --fields; write ./- for a file named '-'";
  if (inv.nullSeparated && (!manyBooks || !dash)) return "-0 is for a list of names on standard input: give '-' as a PATH";
  return "";
}

}  // namespace velarin::cli
