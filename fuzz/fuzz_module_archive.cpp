// Fuzz target: arbitrary bytes as a .zip book read through the plug-in's read path, every field and a few units.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

#include "plugin/state.h"
#include "plugin/wdx.h"

using velarin::plugin::TPluginState;

namespace {

// The default settings, as the module loads them beside itself.
TPluginState& State() {
  static TPluginState* state = new TPluginState(u"" VELARIN_SETTINGS_FILE);
  return *state;
}

// Two names taken in turn, so every input is a fresh load and never the cached document.
std::string TempName(unsigned turn) {
  return "/tmp/velarin-fuzz-" + std::to_string(::getpid()) + "-" + std::to_string(turn & 1) + ".zip";
}

bool WriteAll(const std::string& name, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(name.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static unsigned turn = 0;
  TPluginState& state = State();
  const std::string name = TempName(turn++);
  if (!WriteAll(name, data, size)) return 0;
  char buffer[2049];
  char units[256];
  for (int field = 0;; ++field) {
    if (velarin::plugin::ContentGetSupportedField(state, field, buffer, units, sizeof units) == ftNoMoreFields) break;
    for (int unit = -1; unit < 3; ++unit) {
      const int code = velarin::plugin::ContentGetValue(state, name.c_str(), field, unit, buffer, sizeof buffer);
      if (code == ftString && buffer[sizeof buffer - 1] != '\0') __builtin_trap();  // text always terminated
      if (code == ftFileError) break;
    }
  }
  // A small buffer takes the same path with cut values.
  velarin::plugin::ContentGetValue(state, name.c_str(), 0, 0, buffer, 3);
  std::remove(name.c_str());
  return 0;
}
