// apply: edits many books at once from a file that show --json or show --csv wrote and
// someone changed; only the values that differ from each book's are written.
#pragma once
#include "tools/cli/host.h"
#include "tools/cli/options.h"

namespace velarin::cli {

// Applies the file inv.args[0] ("-": JSON on standard input; a name ending .csv: CSV);
// answers the exit status.
int Apply(Host& host, const Invocation& inv);

}  // namespace velarin::cli
