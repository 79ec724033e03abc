# zemkar in firmware builds, used as their users use it, run by CTest:
#   cmake -DMODE=cmake|make [-DGENERATOR=<CMake generator>] -DSOURCE=<zemkar's sources>
#         -DZEMKAR_BUILD=<its build> -DWORK=<scratch folder> -P build_integration.cmake
# cmake: zemkar installed into a temporary prefix, the project in consumer/
#        configured against it and built with real cmake, by GENERATOR.
# make:  the recipe of examples/firmware.mk run by GNU make.
# Each: the image byte for byte, a second build that does nothing, the image
# made again when a HEX file (or what makes it) or the program changes, and a
# bad HEX file failing every build, with zemkar's message, until it is mended,
# leaving no image behind; the strict image refused where the application is
# the bootloader again; under make, make's own line starts on a line of its own.
cmake_policy(VERSION 3.21)
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/hex")

# The bundled example's two files, cut byte for byte (file(READ) would drop
# the CRs) behind the bootloader's end-of-file record.
set(example "${SOURCE}/examples/two-images.hex")
file(READ "${example}" digits HEX)
string(FIND "${digits}" "3a303030303030303146460d0a" end) # ":00000001FF\r\n"
math(EXPR split "${end} / 2 + 13")
math(EXPR rest "${split} + 1")
execute_process(COMMAND head -c ${split} "${example}" OUTPUT_FILE "${WORK}/bootloader.hex")
execute_process(COMMAND tail -c +${rest} "${example}" OUTPUT_FILE "${WORK}/application.hex")
file(COPY "${WORK}/bootloader.hex" "${WORK}/application.hex" DESTINATION "${WORK}/hex")
file(READ "${SOURCE}/examples/two-images.bin" expected HEX)
file(READ "${SOURCE}/examples/two-images.bin" expected_raw OFFSET 10 HEX)

if(MODE STREQUAL "cmake")
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${ZEMKAR_BUILD}" --prefix "${WORK}/prefix"
                  OUTPUT_QUIET RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "zemkar does not install")
  endif()
  file(COPY "${SOURCE}/tests/consumer/" DESTINATION "${WORK}/project")
  execute_process(COMMAND "${CMAKE_COMMAND}" -S "${WORK}/project" -B "${WORK}/build" -G "${GENERATOR}"
                          "-DCMAKE_PREFIX_PATH=${WORK}/prefix" "-DHEX_DIR=${WORK}/hex"
                  OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "the project does not configure:\n${said}")
  endif()
  set(build "${CMAKE_COMMAND}" --build "${WORK}/build")
  set(strict_build ${build})
  set(image "${WORK}/build/images/firmware.img")
  set(strict_image "${WORK}/build/images/firmware.bin")
  set(made "zemkar: making images/firmware.img")
  set(remade "zemkar: making") # either image
  # bin/ in the .deb's layout, the top of the prefix in the static archive's.
  file(GLOB program "${WORK}/prefix/bin/zemkar" "${WORK}/prefix/zemkar")
  set(maker "${WORK}/project/app.c")
else()
  file(COPY "${SOURCE}/examples/firmware.mk" DESTINATION "${WORK}/hex")
  set(build make --no-print-directory -C "${WORK}/hex" -f firmware.mk "ZEMKAR=${ZEMKAR_BUILD}/zemkar")
  set(strict_build ${build} ZEMKARFLAGS=--strict)
  set(image "${WORK}/hex/firmware.bin")
  set(strict_image "${image}")
  set(expected "${expected_raw}")
  set(made "firmware.bin.hex firmware.bin")
  set(remade "${made}")
  set(program "${ZEMKAR_BUILD}/zemkar")
  set(maker "${WORK}/hex/application.hex")
endif()

# Builds; `expect` is "made", "nothing" or "failed", and a failure leaves
# `image` behind. With a third argument, the strict build is run, and fails
# with that message.
function(build_expecting expect what)
  set(message "Bad hex digit at line 2")
  if(ARGC GREATER 2)
    set(build ${strict_build})
    set(image "${strict_image}")
    set(message "${ARGV2}")
  endif()
  execute_process(COMMAND ${build} OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
  string(FIND "${said}" "${made}" at)
  string(FIND "${said}" "${remade}" again)
  # Under make the message is followed by a line end, so that make's own line
  # stands on a line of its own.
  if(MODE STREQUAL "make")
    string(APPEND message "\nmake: ***")
  endif()
  string(FIND "${said}" "${message}" message)
  if(expect STREQUAL "failed")
    if(NOT failed OR message EQUAL -1)
      message(FATAL_ERROR "${MODE}, ${what}: no failure with zemkar's message:\n${said}")
    endif()
    if(EXISTS "${image}")
      message(FATAL_ERROR "${MODE}, ${what}: the failed build left ${image} behind")
    endif()
  elseif(failed)
    message(FATAL_ERROR "${MODE}, ${what}: the build failed:\n${said}")
  elseif(expect STREQUAL "made")
    string(FIND "${said}" "Left out nothing at 0x00300000-0x0030000F" told)
    if(MODE STREQUAL "cmake" AND told EQUAL -1)
      message(FATAL_ERROR "${MODE}, ${what}: the ranges left out were not passed on:\n${said}")
    endif()
    file(READ "${image}" got HEX)
    if(at EQUAL -1 OR NOT got STREQUAL expected)
      message(FATAL_ERROR "${MODE}, ${what}: the image was not made, or differs from examples/two-images.bin:\n${said}")
    endif()
  elseif(NOT again EQUAL -1)
    message(FATAL_ERROR "${MODE}, ${what}: the build made the image again:\n${said}")
  endif()
endfunction()

# Time stamps apart: a tenth of a second is plenty where they count in
# nanoseconds, as on ext4, XFS, Btrfs and tmpfs, and as make and ninja read them.
function(touch file)
  execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 0.1)
  file(TOUCH "${file}")
endfunction()

build_expecting(made "first build")
if(MODE STREQUAL "cmake")
  # The raw image of the same two files, the bootloader's written by a POST_BUILD step.
  file(READ "${WORK}/build/images/firmware.bin" raw HEX)
  if(NOT raw STREQUAL expected_raw)
    message(FATAL_ERROR "cmake: images/firmware.bin differs from examples/two-images.bin behind its header")
  endif()
endif()
build_expecting(nothing "second build")
touch("${WORK}/hex/bootloader.hex")
build_expecting(made "after touching bootloader.hex")
build_expecting(nothing "the build after that")
touch("${maker}")
build_expecting(made "after touching ${maker}")
touch("${program}")
build_expecting(made "after touching the program")
execute_process(COMMAND "${CMAKE_COMMAND}" -E sleep 0.1)
file(READ "${WORK}/bootloader.hex" text)
string(REPLACE ":10" ":1G" bad "${text}")
file(WRITE "${WORK}/hex/bootloader.hex" "${bad}")
build_expecting(failed "a bad HEX file")
build_expecting(failed "the build after a failed one")
touch("${WORK}/hex/application.hex")
build_expecting(failed "the next build, the bad file still there")
file(COPY_FILE "${WORK}/bootloader.hex" "${WORK}/hex/bootloader.hex")
build_expecting(made "the file mended")
# The bootloader given for the application too: its data start at the first
# file's, not 0x8000 above them.
file(COPY_FILE "${WORK}/bootloader.hex" "${WORK}/hex/application.hex")
touch("${maker}")
build_expecting(failed "the bootloader twice, strict"
                "the second file's data start at 0x08000000, but the image puts them at 0x08008000 (0x8000 above the first \
file's 0x08000000): an application linked for another slot, or the files joined in the wrong order?")
file(REMOVE_RECURSE "${WORK}")
