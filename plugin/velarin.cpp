// The module's five exports, its start-up at the first call and its shutdown at unload.
#include <memory>
#include <mutex>

#include "platform/module.h"
#include "plugin/state.h"
#include "plugin/wdx.h"

namespace {

using velarin::plugin::TPluginState;

// The module's state. Destroyed when the module is unloaded (dlclose, FreeLibrary):
// releases the settings and the current document without saving. While the process
// is terminating the state is abandoned instead: COM and MSXML may already be shut
// down, and the process's memory goes with it anyway.
struct TStateHolder {
  std::unique_ptr<TPluginState> state;
  ~TStateHolder() {
    if (velarin::platform::ProcessTerminating()) (void)state.release();
  }
};
TStateHolder g_holder;
std::once_flag g_startUp;

// Start-up runs here, at the first call of any export, never in the loader's callback.
TPluginState* State() noexcept {
  try {
    std::call_once(g_startUp, [] {
      std::u16string settingsFile;
      try {
        settingsFile = velarin::platform::DirectoryPart(velarin::platform::ModuleFileName()) + u"velarin.xml";
      } catch (...) {
        settingsFile.clear();  // without a path the module runs without settings
      }
      g_holder.state = std::make_unique<TPluginState>(settingsFile);
    });
  } catch (...) {
    return nullptr;  // out of memory: a later call tries again
  }
  return g_holder.state.get();
}

}  // namespace

extern "C" {

VELARIN_EXPORT void VELARIN_CALL ContentGetDetectString(char* detectString, int maxLen) {
  State();
  velarin::plugin::ContentGetDetectString(detectString, maxLen);
}

VELARIN_EXPORT int VELARIN_CALL ContentGetSupportedField(int fieldIndex, char* fieldName, char* units,
                                                         int maxLen) {
  TPluginState* state = State();
  if (!state) return ftNoMoreFields;
  return velarin::plugin::ContentGetSupportedField(*state, fieldIndex, fieldName, units, maxLen);
}

VELARIN_EXPORT int VELARIN_CALL ContentGetSupportedFieldFlags(int /*fieldIndex*/) {
  State();
  return fieldFlagEditable;
}

VELARIN_EXPORT int VELARIN_CALL ContentGetValue(const char* fileName, int fieldIndex, int unitIndex,
                                                void* fieldValue, int maxLen, int /*flags*/) {
  TPluginState* state = State();
  if (!state) {
    if (fieldValue && maxLen > 0) static_cast<char*>(fieldValue)[0] = '\0';
    return ftFileError;
  }
  return velarin::plugin::ContentGetValue(*state, fileName, fieldIndex, unitIndex,
                                          static_cast<char*>(fieldValue), maxLen);
}

VELARIN_EXPORT int VELARIN_CALL ContentSetValue(const char* fileName, int fieldIndex, int unitIndex,
                                                int /*fieldType*/, const void* fieldValue, int flags) {
  TPluginState* state = State();
  if (!state) return ftFileError;
  return velarin::plugin::ContentSetValue(*state, fileName, fieldIndex, unitIndex,
                                          static_cast<const char*>(fieldValue), flags);
}

}  // extern "C"
