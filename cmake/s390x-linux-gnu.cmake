# IBM Z (s390x, big-endian) Linux with Debian's g++-s390x-linux-gnu, run under
# qemu-s390x (Debian's qemu-user): cmake --preset s390x
set(ZEMKAR_TRIPLE s390x-linux-gnu)
set(CMAKE_SYSTEM_PROCESSOR s390x)
set(ZEMKAR_QEMU qemu-s390x)
include(${CMAKE_CURRENT_LIST_DIR}/linux-cross.cmake)
