# The build step of zemkar_add_image, run as cmake -P with ZEMKAR, OPTION,
# FIRST, SECOND, JOINED, OUTPUT and, under Ninja, DEPFILE: joins the two HEX
# files byte for byte, with no shell between, converts the joined text, and
# names the two files in DEPFILE.
foreach(file IN ITEMS "${JOINED}" "${OUTPUT}")
  get_filename_component(folder "${file}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
endforeach()
execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${FIRST}" "${SECOND}"
                OUTPUT_FILE "${JOINED}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "zemkar: can not join ${FIRST} and ${SECOND}")
endif()
execute_process(COMMAND "${ZEMKAR}" "${OPTION}" "${JOINED}" "${OUTPUT}"
                OUTPUT_VARIABLE said ERROR_VARIABLE said RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "zemkar: ${said} (${FIRST} and ${SECOND} joined in ${JOINED})")
endif()
if(DEPFILE)
  set(names "")
  foreach(file IN ITEMS "${OUTPUT}" "${FIRST}" "${SECOND}")
    string(REPLACE " " "\\ " file "${file}")
    list(APPEND names "${file}")
  endforeach()
  list(POP_FRONT names target)
  list(JOIN names " " names)
  file(WRITE "${DEPFILE}" "${target}: ${names}\n")
endif()
