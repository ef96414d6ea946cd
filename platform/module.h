// The module's own file: where it lies, so that the settings beside it are found.
#pragma once
#include <string>

namespace velarin::platform {

// Full path of the module (shared object or DLL) that contains this code.
std::u16string ModuleFileName();
// Directory part of a path, up to and including the last separator.
std::u16string DirectoryPart(const std::u16string& path);

// True once the loader has told the module that the whole process is ending
// (Windows: DLL_PROCESS_DETACH with a non-null reserved argument, reported before
// the module's static destructors run). The component runtime and the libraries
// it loaded may be gone by then, so nothing may be released through them. Always
// false on Linux, where unload and exit tear the module down alike.
#ifdef _WIN32
bool ProcessTerminating();
#else
inline bool ProcessTerminating() { return false; }
#endif

}  // namespace velarin::platform
