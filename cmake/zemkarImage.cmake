# zemkar_add_image(NAME target FIRST first.hex SECOND second.hex OUTPUT image.bin [RAW] [STRICT]
#                  [LEAVE_OUT FIRST-LAST...])
#
# Adds the target NAME, built by default, that joins FIRST and SECOND byte for
# byte and converts them into OUTPUT: the headed image, or with RAW the image
# alone. STRICT fails the build where the second file's data do not start
# 0x8000 above the first file's, which is otherwise a warning. LEAVE_OUT
# leaves the data bytes at those addresses out of the image (--leave-out). The image is made again whenever either HEX file or the program
# changes, and only then. FIRST and SECOND may be files that other targets of
# the project make, named with generator expressions such as
# $<TARGET_FILE_DIR:app>/app.hex: the image then follows those targets too,
# under any generator, whether a POST_BUILD step writes the file with
# BYPRODUCTS or without. Relative FIRST and SECOND are taken from the current
# source folder, a relative OUTPUT goes to the current build folder, as
# add_custom_command does, and OUTPUT's folder is made where it is missing.
# A failed conversion fails the build with zemkar's message and removes the
# image an earlier build made, so that nothing stale is left to flash and the
# next build runs it again.
set(_zemkar_convert "${CMAKE_CURRENT_LIST_DIR}/zemkarConvert.cmake")

function(zemkar_add_image)
  cmake_parse_arguments(PARSE_ARGV 0 arg "RAW;STRICT" "NAME;FIRST;SECOND;OUTPUT" "LEAVE_OUT")
  foreach(required IN ITEMS NAME FIRST SECOND OUTPUT)
    if(NOT arg_${required})
      message(FATAL_ERROR "zemkar_add_image: ${required} is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zemkar_add_image: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()

  set(inputs "")
  set(depends "")
  set(targets "")
  # Ninja stops on a file that it must depend on but that nothing it knows
  # makes, such as a HEX file written by a target's POST_BUILD step without
  # BYPRODUCTS. A file named by a target's generator expression is made by
  # that target: there the build step depends on the target, and names the
  # file in a depfile, which Ninja reads after the step has run and which may
  # name a file that is missing.
  set(depfile "")
  if(CMAKE_GENERATOR MATCHES "Ninja")
    set(depfile "${CMAKE_CURRENT_BINARY_DIR}/zemkar/${arg_NAME}.d")
  endif()
  foreach(input IN ITEMS "${arg_FIRST}" "${arg_SECOND}")
    # A path that starts with a generator expression is absolute once evaluated.
    if(NOT input MATCHES "^\\$<" AND NOT IS_ABSOLUTE "${input}")
      set(input "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
    endif()
    list(APPEND inputs "${input}")
    # The targets that make the file, named in its generator expressions.
    string(REGEX MATCHALL "\\$<TARGET_[A-Z_]+:[^>,]+" named "${input}")
    foreach(name IN LISTS named)
      string(REGEX REPLACE "^\\$<TARGET_[A-Z_]+:" "" name "${name}")
      list(APPEND targets "${name}")
    endforeach()
    if(NOT named OR NOT depfile)
      list(APPEND depends "${input}")
    endif()
  endforeach()
  set(output "${arg_OUTPUT}")
  if(NOT IS_ABSOLUTE "${output}")
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${output}")
  endif()
  # The ranges travel as one argument, a comma between each two.
  string(REPLACE ";" "," leave_out "${arg_LEAVE_OUT}")
  set(option -h)
  if(arg_RAW)
    set(option -r)
  endif()
  # The joined text, under a name of this image's own.
  set(joined "${CMAKE_CURRENT_BINARY_DIR}/zemkar/${arg_NAME}.hex")

  list(GET inputs 0 first)
  list(GET inputs 1 second)
  set(depfile_option "")
  if(depfile)
    set(depfile_option DEPFILE "${depfile}")
  endif()
  cmake_policy(PUSH)
  if(POLICY CMP0116)
    cmake_policy(SET CMP0116 NEW) # the depfile's paths are absolute: no warning about them
  endif()
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" "-DZEMKAR=$<TARGET_FILE:zemkar::zemkar>" "-DOPTION=${option}" "-DSTRICT=${arg_STRICT}" "-DLEAVE_OUT=${leave_out}"
            "-DFIRST=${first}" "-DSECOND=${second}" "-DJOINED=${joined}" "-DOUTPUT=${output}"
            "-DDEPFILE=${depfile}" -P "${_zemkar_convert}"
    DEPENDS ${depends} "$<TARGET_FILE:zemkar::zemkar>" "${_zemkar_convert}" ${targets}
    ${depfile_option}
    COMMENT "zemkar: making ${arg_OUTPUT}"
    VERBATIM)
  cmake_policy(POP)
  add_custom_target(${arg_NAME} ALL DEPENDS "${output}")
endfunction()
