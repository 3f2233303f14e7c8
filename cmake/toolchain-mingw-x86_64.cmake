# Cross-compiles for 64-bit Windows with Debian's mingw-w64 (posix thread model:
# std::mutex and std::call_once, which RE2 needs, exist only there in GCC 12).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(REVIRI_MINGW_TRIPLE x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
