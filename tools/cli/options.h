// The command line: options, the command and its arguments, and the usage text.
#pragma once
#include <optional>
#include <string>
#include <vector>

namespace velarin::cli {

// What the command line asked for.
struct Invocation {
  std::string modulePath;
  bool json = false;
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
