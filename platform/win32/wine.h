// Whether the Windows build runs under Wine, whose MSXML departs from Microsoft's in places.
#pragma once

namespace velarin::platform {

#ifdef _WIN32
bool RunningUnderWine();
#else
inline bool RunningUnderWine() { return false; }
#endif

}  // namespace velarin::platform
