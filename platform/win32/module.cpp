// The module's own path on Windows, and the loader's callback that tells unload from process end.
#include "platform/module.h"

#include <windows.h>

#include <vector>

namespace velarin::platform {
namespace {
volatile LONG g_processTerminating = 0;
}  // namespace

bool ProcessTerminating() { return g_processTerminating != 0; }

std::u16string ModuleFileName() {
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCWSTR>(&ModuleFileName), &self))
    return u"";
  // 1024 characters hold every ordinary path; a longer one gets a larger buffer
  // instead of a cut name that would point beside the wrong folder.
  for (DWORD size = 1024; size <= 32768; size *= 2) {
    std::vector<wchar_t> buffer(size);
    DWORD n = GetModuleFileNameW(self, buffer.data(), size);
    if (n == 0) return u"";
    if (n < size) return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), n);
  }
  return u"";
}

}  // namespace velarin::platform

// The loader's callback, run under the loader lock: it only notes that the process
// is ending and touches nothing else (no COM, no MSXML, no allocation). Start-up
// runs at the first export call instead. In a program (not a DLL) it is never called.
extern "C" BOOL WINAPI DllMain(HINSTANCE /*self*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved != nullptr) velarin::platform::g_processTerminating = 1;
  return TRUE;
}
