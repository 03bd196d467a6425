# Cross build for 32-bit Windows with mingw-w64 (built and its exports checked; no 32-bit
# code runs on the build machines).
set(CMAKE_SYSTEM_PROCESSOR i686)
set(TARVIK_MINGW_TRIPLE i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
