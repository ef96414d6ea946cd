// show: every field of every book named, as a table or as JSON.
#pragma once
#include <string>
#include <vector>

#include "tools/cli/host.h"

namespace velarin::cli {

// Answers the exit status: kExitFailed when a book could not be read.
int Show(Host& host, const std::vector<std::string>& paths, bool json);

}  // namespace velarin::cli
