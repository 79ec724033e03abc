# 32-bit x86 (i686) Linux with Debian's g++-i686-linux-gnu, for the i386
# architecture's baseline (no SSE2). Its programs run natively on x86-64 where
# Debian's i386 C library is installed (libc6-i386, lib32stdc++6,
# lib32gcc-s1): cmake --preset i686
set(ZEMKAR_TRIPLE i686-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
