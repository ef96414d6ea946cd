// The command line: options, the command and its arguments, and the usage text.
#include "tools/cli/options.h"

#include <cstdio>

#include "tools/cli/host.h"
#include "velarin/version.h"

namespace velarin::cli {
namespace {

#ifdef VELARIN_MODULE_INSTALLED_DIR
#define MODULE_WHERE \
  ",\nor, installed, in " VELARIN_MODULE_INSTALLED_DIR " from its folder (/usr/lib/velarin for /usr/bin/velarin)"
#else
#define MODULE_WHERE ""
#endif

const char kUsage[] =
    "usage: velarin [--module PATH] COMMAND ...\n"
    "       velarin --version | --help\n"
    "  fields                              list the fields (index, name, units)\n"
    "  show [--json] PATH...               every field of each book; folders are searched recursively\n"
    "  get FILE FIELD[:UNIT]               one field; a repeated field without unit prints every occurrence\n"
    "  set FILE FIELD[:UNIT] VALUE ...     write fields; UNIT '+' adds an occurrence, an empty VALUE removes\n"
    "  apply [--dry-run] FILE              write the values in FILE (show --json/--csv, edited) that differ\n"
    "FIELD is a field name or index. --module defaults to " VELARIN_MODULE_NAME " beside this program" MODULE_WHERE ".\n";

}  // namespace

int Usage(const std::string& why) {
  Fail(why);
  std::fputs(kUsage, stderr);
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
      std::fputs(kUsage, stdout);
      return kExitOk;
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
  return std::nullopt;
}

std::string CheckArguments(const Invocation& inv) {
  const std::string& c = inv.command;
  const size_t n = inv.args.size();
  if (c != "fields" && c != "show" && c != "get" && c != "set" && c != "apply") return "unknown command '" + c + "'";
  if (c == "fields" && n != 0) return "fields takes no arguments";
  if (c == "show" && n == 0) return "show needs at least one file or folder";
  if (c == "get" && n != 2) return "get needs FILE and FIELD[:UNIT]";
  if (c == "apply" && n != 1) return "apply needs one FILE (.json, .csv, or - for JSON on standard input)";
  if (c == "set" && (n < 3 || n % 2 == 0)) return "set needs FILE and one or more FIELD[:UNIT] VALUE pairs";
  return "";
}

}  // namespace velarin::cli
