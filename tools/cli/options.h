// The command line: options, the command and its arguments, and the usage text.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace velarin::cli {

// What the command line asked for.
struct Invocation {
  std::string modulePath;
  bool json = false;                // --json: JSON output
  bool csv = false;                 // --csv: CSV output
  bool dryRun = false;              // --dry-run: apply prints what it would change
  bool nullSeparated = false;       // -0: a file list read from standard input ends names with NUL
  int jobs = 0;                     // -j N: worker processes; 0: one per core
  std::vector<std::string> fields;  // --fields A,B: only these fields (names or indexes)
  std::string command;
  std::vector<std::string> args;
};

// Reads the options and the command; answers an exit status when the run ends here
// (--help, --version, bad usage).
std::optional<int> ParseCommandLine(int argc, char** argv, Invocation& inv);

// Checks the command's name and the count of its arguments; "" when they fit.
std::string CheckArguments(const Invocation& inv);

// Names what is wrong, prints the usage on stderr and answers the usage status.
int Usage(const std::string& why);

}  // namespace velarin::cli
