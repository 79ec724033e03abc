# The build step of zemkar_add_image, run as cmake -P with ZEMKAR, OPTION,
# STRICT, LEAVE_OUT (ranges, a comma between each two), FIRST, SECOND,
# JOINED, OUTPUT and, under Ninja, DEPFILE: joins the
# two HEX files byte for byte, with no shell between, converts the joined
# text, and names the two files in DEPFILE. What zemkar says on standard
# error (what it left out, a warning) is shown; where
# it fails, the image an earlier build made goes, unless zemkar refused to
# write over a HEX file named as the output.
foreach(file IN ITEMS "${JOINED}" "${OUTPUT}")
  get_filename_component(folder "${file}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
endforeach()
execute_process(COMMAND "${CMAKE_COMMAND}" -E cat "${FIRST}" "${SECOND}"
                OUTPUT_FILE "${JOINED}" RESULT_VARIABLE failed)
if(failed)
  message(FATAL_ERROR "zemkar: can not join ${FIRST} and ${SECOND}")
endif()
set(words "")
if(STRICT)
  set(words --strict)
endif()
string(REPLACE "," ";" ranges "${LEAVE_OUT}")
foreach(range IN LISTS ranges)
  list(APPEND words --leave-out "${range}")
endforeach()
execute_process(COMMAND "${ZEMKAR}" ${words} "${OPTION}" "${JOINED}" "${OUTPUT}"
                OUTPUT_VARIABLE said ERROR_VARIABLE warned RESULT_VARIABLE failed)
if(warned)
  string(STRIP "${warned}" warned)
  message("zemkar: ${warned} (${FIRST} and ${SECOND})")
endif()
if(failed)
  if(NOT said MATCHES "^Will not write over ")
    file(REMOVE "${OUTPUT}")
  endif()
  message(FATAL_ERROR "zemkar: ${said} (${FIRST} and ${SECOND} joined in ${JOINED})")
endif()
if(DEPFILE)
  # In make's syntax, as Ninja reads it: a space within a name is escaped.
  string(REPLACE " " "\\ " output "${OUTPUT}")
  string(REPLACE " " "\\ " first "${FIRST}")
  string(REPLACE " " "\\ " second "${SECOND}")
  file(WRITE "${DEPFILE}" "${output}: ${first} ${second}\n")
endif()
