# What both Windows cross-builds share, included by the toolchain file of each
# once it has set ZEMKAR_TRIPLE (Debian's name of the MinGW-w64 compilers) and
# CMAKE_SYSTEM_PROCESSOR.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_C_COMPILER ${ZEMKAR_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ZEMKAR_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${ZEMKAR_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ZEMKAR_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
