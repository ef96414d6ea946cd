// Fields named on the command line, read one by one, and written in one batch.
#include "tools/cli/edit.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "plugin/wdxcodes.h"

namespace velarin::cli {

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

}  // namespace velarin::cli
