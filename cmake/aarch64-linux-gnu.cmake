# 64-bit ARM (aarch64) Linux with Debian's g++-aarch64-linux-gnu, run under
# qemu-aarch64 (Debian's qemu-user): cmake --preset aarch64
set(ZEMKAR_TRIPLE aarch64-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(ZEMKAR_QEMU qemu-aarch64)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
