// The module's own file: where it lies, so that the settings beside it are found.
#pragma once
#include <string>

namespace velarin::platform {

// Full path of the module (shared object or DLL) that contains this code.
std::u16string ModuleFileName();
// Directory part of a path, up to and including the last separator.
std::u16string DirectoryPart(const std::u16string& path);

}  // namespace velarin::platform
