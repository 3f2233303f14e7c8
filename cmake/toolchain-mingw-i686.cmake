# Cross-compiles for 32-bit Windows with Debian's mingw-w64 (posix thread model:
# std::mutex and std::call_once, which RE2 needs, exist only there in GCC 12).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(REVIRI_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
