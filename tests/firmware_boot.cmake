# Real firmware through zemkar, booted: an example of examples/, a bootloader
# and an application built by arm-none-eabi-gcc with newlib against zemkar
# installed into a temporary prefix, and its raw image booted in qemu. Run by
# CTest:
#   cmake -DSOURCE=<zemkar's sources> -DZEMKAR_BUILD=<its build> -DWORK=<scratch folder>
#         -DEXAMPLE=<folder in examples/> -DMACHINE=<qemu machine> "-DBOOTED=<the application's line>"
#         [-DGAPS=ON] [-DRECORD=<a record the application's HEX file must hold>] -P firmware_boot.cmake
# With GAPS, both HEX files must have a gap behind the vector table (newlib's
# strlen for the Cortex-M4 is aligned to 64 bytes). The image must be objcopy's own binaries of the two
# programs, gaps filled with 0xFF, at offsets 0 and 0x8000; the headed image
# that and its header; and the boot must reach the application's own line,
# which it prints only if its memory is as linked. Without the tools the test
# is skipped, but not under CI.
cmake_policy(VERSION 3.21)
set(packages "gcc-arm-none-eabi libnewlib-arm-none-eabi qemu-system-arm")
find_program(gcc arm-none-eabi-gcc)
find_program(objcopy arm-none-eabi-objcopy)
find_program(objdump arm-none-eabi-objdump)
find_program(qemu qemu-system-arm)
if(gcc)
  execute_process(COMMAND "${gcc}" -mcpu=cortex-m4 -mthumb -print-file-name=libc.a
                  OUTPUT_VARIABLE newlib OUTPUT_STRIP_TRAILING_WHITESPACE)
endif()
if(NOT gcc OR NOT objcopy OR NOT objdump OR NOT qemu OR NOT EXISTS "${newlib}")
  if("$ENV{CI}" STREQUAL "true")
    message(FATAL_ERROR "The firmware boot test must run under CI: install ${packages}")
  endif()
  message(NOTICE "Skipped: the firmware boot test needs Debian's ${packages}")
  return()
endif()

file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${ZEMKAR_BUILD}" --prefix "${WORK}/prefix"
                OUTPUT_QUIET RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "zemkar does not install")
endif()
set(example "${SOURCE}/examples/${EXAMPLE}")
set(build "${WORK}/build")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${example}" -B "${build}" "-DCMAKE_TOOLCHAIN_FILE=${example}/arm-none-eabi.cmake"
                        "-DCMAKE_PREFIX_PATH=${WORK}/prefix"
                OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
if(NOT failed)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
endif()
if(failed)
  message(FATAL_ERROR "the firmware does not build:\n${said}")
endif()

# Each program as objcopy puts it in flash, gaps filled; and the gap in its HEX
# file, which objdump reads as more than one section.
foreach(program IN ITEMS bootloader application)
  execute_process(COMMAND "${objcopy}" -O binary --gap-fill 0xFF "${build}/${program}" "${WORK}/${program}.bin")
  file(READ "${WORK}/${program}.bin" ${program} HEX)
  execute_process(COMMAND "${objdump}" -h "${build}/${program}.hex" OUTPUT_VARIABLE sections)
  string(REGEX MATCHALL "\\.sec[0-9]+" sections "${sections}")
  list(LENGTH sections count)
  if(GAPS AND count LESS 2)
    message(FATAL_ERROR "${program}.hex has no gap, so the test shows nothing:\n${sections}")
  endif()
endforeach()
if(DEFINED RECORD)
  file(READ "${build}/application.hex" application_hex)
  string(FIND "${application_hex}" "${RECORD}" found)
  if(found EQUAL -1)
    message(FATAL_ERROR "application.hex holds no ${RECORD} record, so the test shows nothing")
  endif()
endif()

file(READ "${build}/firmware.bin" raw HEX)
string(LENGTH "${bootloader}" first)
math(EXPR fill "0x8000 - ${first} / 2")
string(REPEAT "ff" ${fill} expected)
string(PREPEND expected "${bootloader}")
string(APPEND expected "${application}")
if(NOT raw STREQUAL expected)
  message(FATAL_ERROR "firmware.bin is not the two programs as objcopy writes them, at 0 and 0x8000")
endif()

# The headed image: zero, the low 16 bits of the sum of the image's bytes,
# 55 AA, the image's length; then the raw image.
string(LENGTH "${raw}" digits)
math(EXPR length "${digits} / 2")
set(sum 0)
foreach(at RANGE 0 ${digits} 64)
  string(SUBSTRING "${raw}" ${at} 64 part)
  string(REGEX REPLACE "(..)" "+0x\\1" part "${part}")
  math(EXPR sum "${sum}${part}")
endforeach()
set(header "")
foreach(byte IN ITEMS 0 0 "(${sum} & 0xFF)" "(${sum} >> 8 & 0xFF)" 0x55 0xAA "(${length} & 0xFF)" "(${length} >> 8 & 0xFF)"
                      "(${length} >> 16 & 0xFF)" "(${length} >> 24)")
  math(EXPR byte "0x100 | ${byte}" OUTPUT_FORMAT HEXADECIMAL)
  string(SUBSTRING "${byte}" 3 2 byte)
  string(APPEND header "${byte}")
endforeach()
file(READ "${build}/firmware.img" headed HEX)
if(NOT headed STREQUAL "${header}${raw}")
  string(SUBSTRING "${headed}" 0 20 got)
  message(FATAL_ERROR "firmware.img is not the header ${header} and the raw image (its first ten bytes: ${got})")
endif()

execute_process(COMMAND "${qemu}" -M ${MACHINE} -nographic -monitor none -serial none
                        -semihosting-config enable=on,target=native -kernel "${build}/firmware.bin"
                TIMEOUT 60 OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE status)
message(STATUS "qemu-system-arm -M ${MACHINE} -kernel firmware.bin:\n${said}")
string(FIND "${said}" "bootloader: starting the application\n${BOOTED}\n" booted)
if(NOT status EQUAL 0 OR booted EQUAL -1)
  message(FATAL_ERROR "the firmware did not boot to the application (status ${status})")
endif()
file(REMOVE_RECURSE "${WORK}")
