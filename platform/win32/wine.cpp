// Detects Wine by the export its ntdll has and Windows' lacks.
#include "platform/win32/wine.h"

#include <windows.h>

namespace velarin::platform {

bool RunningUnderWine() {
  static const bool wine = [] {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
  }();
  return wine;
}

}  // namespace velarin::platform
