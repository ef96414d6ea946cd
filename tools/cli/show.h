// show: every field of every book named, as a table or as JSON.
#pragma once
#include <string>
#include <vector>

#include "tools/cli/host.h"
#include "tools/cli/options.h"

namespace velarin::cli {

// Answers the exit status: kExitFailed when a book could not be read.
int Show(Host& host, const Invocation& inv);

}  // namespace velarin::cli
