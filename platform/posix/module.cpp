// The module's own path on Linux, found with dladdr on an address inside it.
#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include "platform/codepage.h"

namespace velarin::platform {

std::u16string ModuleFileName() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFileName), &info) == 0 || !info.dli_fname) return u"";
  char full[PATH_MAX];
  const char* name = realpath(info.dli_fname, full) ? full : info.dli_fname;
  return SysToWide(name);
}

}  // namespace velarin::platform
