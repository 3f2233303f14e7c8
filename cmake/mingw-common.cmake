# Shared part of the mingw-w64 toolchains: the including file sets
# CMAKE_SYSTEM_PROCESSOR and REVIRI_MINGW_TRIPLE first.
set(CMAKE_SYSTEM_NAME Windows)

set(CMAKE_C_COMPILER   ${REVIRI_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${REVIRI_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER  ${REVIRI_MINGW_TRIPLE}-windres)
set(REVIRI_WIDL        ${REVIRI_MINGW_TRIPLE}-widl)

set(CMAKE_FIND_ROOT_PATH /usr/${REVIRI_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# GCC 12 reports false -Wrestrict warnings inside std::string at -O2
# (GCC bug 105329); they would stop the warnings-as-errors build.
set(CMAKE_CXX_FLAGS_INIT "-Wno-restrict")

# No DLLs of the compiler's runtime beside the .ocx: hosts load it from anywhere.
set(CMAKE_EXE_LINKER_FLAGS_INIT    "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Libraries cross-built for Windows (RE2) are installed under REVIRI_WIN_DEPS.
if(DEFINED REVIRI_WIN_DEPS)
  list(APPEND CMAKE_FIND_ROOT_PATH ${REVIRI_WIN_DEPS})
endif()
