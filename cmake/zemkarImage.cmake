# zemkar_add_image(NAME target FIRST first.hex SECOND second.hex OUTPUT image.bin [RAW])
#
# Adds the target NAME, built by default, that joins FIRST and SECOND byte for
# byte and converts them into OUTPUT: the headed image, or with RAW the image
# alone. The image is made again whenever either HEX file or the program
# changes, and only then. FIRST and SECOND may be files that other targets of
# the project make, named with generator expressions such as
# $<TARGET_FILE_DIR:app>/app.hex: the image then follows those targets too.
# Relative FIRST and SECOND are taken from the current source folder, a
# relative OUTPUT goes to the current build folder, as add_custom_command
# does. A failed conversion fails the build with zemkar's message and leaves
# any earlier image older than its HEX files, so the next build runs it again.
set(_zemkar_convert "${CMAKE_CURRENT_LIST_DIR}/zemkarConvert.cmake")

function(zemkar_add_image)
  cmake_parse_arguments(PARSE_ARGV 0 arg "RAW" "NAME;FIRST;SECOND;OUTPUT" "")
  foreach(required IN ITEMS NAME FIRST SECOND OUTPUT)
    if(NOT arg_${required})
      message(FATAL_ERROR "zemkar_add_image: ${required} is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "zemkar_add_image: unknown arguments: ${arg_UNPARSED_ARGUMENTS}")
  endif()

  set(inputs "")
  set(targets "")
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
  endforeach()
  set(output "${arg_OUTPUT}")
  if(NOT IS_ABSOLUTE "${output}")
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${output}")
  endif()
  set(option -h)
  if(arg_RAW)
    set(option -r)
  endif()
  # The joined text, under a name of this image's own.
  set(joined "${CMAKE_CURRENT_BINARY_DIR}/zemkar/${arg_NAME}.hex")

  list(GET inputs 0 first)
  list(GET inputs 1 second)
  add_custom_command(
    OUTPUT "${output}"
    COMMAND "${CMAKE_COMMAND}" "-DZEMKAR=$<TARGET_FILE:zemkar::zemkar>" "-DOPTION=${option}"
            "-DFIRST=${first}" "-DSECOND=${second}" "-DJOINED=${joined}" "-DOUTPUT=${output}"
            -P "${_zemkar_convert}"
    DEPENDS "${first}" "${second}" "$<TARGET_FILE:zemkar::zemkar>" "${_zemkar_convert}" ${targets}
    COMMENT "zemkar: making ${arg_OUTPUT}"
    VERBATIM)
  add_custom_target(${arg_NAME} ALL DEPENDS "${output}")
endfunction()
