// Module-wide state of the plug-in and the operations behind the five exports.
#pragma once
#include <string>

#include "plugin/document.h"
#include "plugin/settings.h"

namespace velarin::plugin {

// What start-up builds and shutdown releases: the settings and the current document.
struct TPluginState {
  // Start-up with the settings file at settingsFile (missing or broken: no settings).
  explicit TPluginState(const std::u16string& settingsFile) { settings.Load(settingsFile); }
  ~TPluginState() {
    current.Release();
    settings.Release();
  }
  TPluginState(const TPluginState&) = delete;
  TPluginState& operator=(const TPluginState&) = delete;

  TSettings settings;
  TCurrentDocument current;
};

// The detect string the host matches file names against.
extern const char kDetectString[];

// Each answers a result code (wdx.h) and lets no exception out.
void ContentGetDetectString(char* buffer, int size) noexcept;
int ContentGetSupportedField(TPluginState& state, int fieldIndex, char* name, char* units,
                             int size) noexcept;
int ContentGetValue(TPluginState& state, const char* fileName, int fieldIndex, int unitIndex,
                    char* buffer, int size) noexcept;
int ContentSetValue(TPluginState& state, const char* fileName, int fieldIndex, int unitIndex,
                    const char* value, int flags) noexcept;

}  // namespace velarin::plugin
