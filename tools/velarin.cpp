// velarin: command-line host that loads velarin.wdx like a file manager and lists or edits book fields.
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tools/cli/apply.h"
#include "tools/cli/books.h"
#include "tools/cli/edit.h"
#include "tools/cli/formats.h"
#include "tools/cli/host.h"
#include "tools/cli/options.h"
#include "tools/cli/show.h"

using namespace velarin::cli;

namespace {

int ListFields(const Host& host, bool json) {
  if (host.Fields().empty()) Fail("the module offers no fields: velarin.xml beside it is missing or unusable");
  const std::string text = FieldsText(host, json);
  std::fwrite(text.data(), 1, text.size(), stdout);
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
  if (inv.command == "apply") return Apply(host, inv);  // narrows to --fields itself
  if (!inv.fields.empty()) {
    const std::string unknown = host.Select(inv.fields);
    if (!unknown.empty()) return Usage("unknown field '" + unknown + "' in --fields (see 'velarin fields')");
  }
  // a PATH of "-": the names listed on standard input
  const bool singleFile = inv.args.size() == 1 && inv.args[0] != "-";
  if (inv.command == "show" || (inv.command == "get" && !inv.fields.empty())) {
    const std::string bad = ExpandStandardInput(inv.args, inv.nullSeparated);
    if (!bad.empty()) {
      Fail(bad);
      return kExitFailed;
    }
  }
  if (inv.command == "show") return Show(host, inv);
  if (inv.command == "get") return inv.fields.empty() ? RunGet(host, inv.args) : GetFields(host, inv, singleFile);
  return RunSet(host, inv.args);
}
