// Bounds on what one book may cost. A file manager calls the module for every file
// of a folder on the thread that fills its columns, so no input may take unbounded
// memory: the largest real books (with their images) are tens of megabytes.
#pragma once
#include <cstdint>

namespace velarin::platform {

// The most text a book may have, as a plain file or as an archive's entry: larger
// books answer as unreadable before anything of that size is allocated, and
// extraction stops there. Keeps the 32-bit module inside its address space.
constexpr std::int64_t kMaxBookText = std::int64_t(256) << 20;

}  // namespace velarin::platform
