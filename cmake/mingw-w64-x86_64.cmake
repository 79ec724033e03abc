# The Windows console program, cross-built with MinGW-w64 (Debian's
# g++-mingw-w64-x86-64): cmake --preset windows
set(ZEMKAR_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
