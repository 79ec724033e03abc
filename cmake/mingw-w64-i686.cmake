# The 32-bit Windows console program, cross-built with MinGW-w64 (Debian's
# g++-mingw-w64-i686): cmake --preset windows-i686
set(ZEMKAR_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
