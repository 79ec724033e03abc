# 32-bit ARM with hardware floating point (armhf: Raspberry Pi OS 32-bit) Linux
# with Debian's g++-arm-linux-gnueabihf, run under qemu-arm (Debian's
# qemu-user): cmake --preset armhf. The processor is named as such a machine's
# uname -m names it.
set(ZEMKAR_TRIPLE arm-linux-gnueabihf)
set(CMAKE_SYSTEM_PROCESSOR armv7l)
set(ZEMKAR_QEMU qemu-arm)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
