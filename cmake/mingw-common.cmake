# What the mingw-w64 toolchain files share; each sets VELARIN_MINGW_PREFIX and
# CMAKE_SYSTEM_PROCESSOR first.
set(CMAKE_SYSTEM_NAME Windows)

# The posix thread model gives std::thread and std::mutex; winpthread is linked statically.
find_program(CMAKE_C_COMPILER NAMES ${VELARIN_MINGW_PREFIX}-gcc-posix ${VELARIN_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${VELARIN_MINGW_PREFIX}-g++-posix ${VELARIN_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${VELARIN_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VELARIN_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Nothing but Windows system DLLs at run time: the C++ runtime, libgcc,
# winpthread and zlib go into each module.
set(VELARIN_STATIC_LINK "-static -static-libgcc -static-libstdc++")
set(CMAKE_EXE_LINKER_FLAGS_INIT "${VELARIN_STATIC_LINK}")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${VELARIN_STATIC_LINK}")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "${VELARIN_STATIC_LINK}")
set(ZLIB_INCLUDE_DIR /usr/${VELARIN_MINGW_PREFIX}/include CACHE PATH "zlib headers (libz-mingw-w64-dev)")
set(ZLIB_LIBRARY /usr/${VELARIN_MINGW_PREFIX}/lib/libz.a CACHE FILEPATH "static zlib (libz-mingw-w64-dev)")

# ctest runs the Windows executables through Wine.
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/wine-run)

# Release modules without symbols: what ships is a tenth of the size.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_SHARED_LINKER_FLAGS_RELEASE_INIT "-s")
set(CMAKE_MODULE_LINKER_FLAGS_RELEASE_INIT "-s")
