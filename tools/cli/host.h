// The module as the command-line host sees it: loaded by path, its field catalogue, and
// one field read or written through the five exports.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/wdxmodule.h"

namespace velarin::cli {

// Exit statuses: all well, some books failed, bad usage.
enum : int { kExitOk = 0, kExitFailed = 1, kExitUsage = 2 };
constexpr int kValueBufferSize = 2049;  // what Linux file managers hand in
constexpr int kMaxUnits = 100000;       // occurrences listed per repeated field at most

// The module a file manager of this program's kind loads: a 64-bit Windows process
// cannot load the 32-bit velarin.wdx and takes its twin velarin.wdx64.
#ifdef _WIN64
#define VELARIN_MODULE_NAME "velarin.wdx64"
#else
#define VELARIN_MODULE_NAME "velarin.wdx"
#endif
#ifndef _WIN32
// an installed velarin (/usr/bin) finds the module in /usr/lib/velarin
#define VELARIN_MODULE_INSTALLED_DIR "../lib/velarin"
#endif

struct Field {
  int index;
  std::string name;
  std::string units;
  bool Repeated() const { return !units.empty(); }
};

// One answer of ContentGetValue.
struct Reading {
  int code = 0;
  std::string text;
  std::int32_t number = 0;
};

// What a result code of the module means, for messages.
std::string Meaning(int code);

// "velarin: message" on stderr.
void Fail(const std::string& message);

// The module beside this program; else, for an installed program, where the package puts it.
std::string DefaultModulePath();

class Host {
 public:
  // Loads the module and its field catalogue; answers "" or what went wrong.
  std::string Load(const std::string& path);
  const std::vector<Field>& Fields() const { return fields_; }
  // A field by name, or by index written in digits; nullptr when there is none.
  const Field* FindField(const std::string& key) const;
  // Narrows the catalogue to the fields named (names or indexes), in the order given, each
  // once; answers "" or the first key that names no field.
  std::string Select(const std::vector<std::string>& keys);
  Reading Read(const std::string& file, int field, int unit);
  int Write(const std::string& file, int field, int unit, const std::string& value, bool last);
  // The end-of-batch call: the module saves and drops the document.
  void EndBatch();

 private:
  tools::WdxModule module_;
  std::vector<Field> fields_;
};

}  // namespace velarin::cli
