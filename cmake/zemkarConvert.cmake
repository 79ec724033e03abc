# The build step of zemkar_add_image, run as cmake -P with ZEMKAR, OPTION,
# FIRST, SECOND, JOINED and OUTPUT: joins the two HEX files byte for byte,
# with no shell between, and converts the joined text.
get_filename_component(folder "${JOINED}" DIRECTORY)
file(MAKE_DIRECTORY "${folder}")
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
