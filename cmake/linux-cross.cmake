# What every Linux cross-build here shares, included by the toolchain file of
# each target once it has set ZEMKAR_TRIPLE (Debian's name of the cross
# compilers, whose target libraries stand in /usr/<triple>),
# CMAKE_SYSTEM_PROCESSOR and, where the programs cannot run natively,
# ZEMKAR_QEMU (Debian's qemu-user program for the processor).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_C_COMPILER ${ZEMKAR_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZEMKAR_TRIPLE}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEMKAR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
if(ZEMKAR_QEMU)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${ZEMKAR_QEMU} -L /usr/${ZEMKAR_TRIPLE})
endif()
