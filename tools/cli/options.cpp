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
    "FIELD is a field name or index. --module defaults to " VELARIN_MODULE_NAME " beside this program" MODULE_WHERE ".\n";

}  // namespace

int Usage(const std::string& why) {
  Fail(why);
  std::fputs(kUsage, stderr);
  return kExitUsage;
}

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

}  // namespace velarin::cli
