# Read by cpack as it runs. Every time stamp in a package is the last
# commit's, not the build's, so that two builds of one commit give the same
# bytes; a SOURCE_DATE_EPOCH set by the caller wins.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND git -C "${CPACK_ZEMKAR_SOURCE_DIR}" log -1 --format=%ct
                  OUTPUT_VARIABLE commit_time OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE failed ERROR_QUIET)
  if(NOT failed AND commit_time)
    set(ENV{SOURCE_DATE_EPOCH} "${commit_time}")
  endif()
endif()

# A cross-built .deb depends on the C library version of the newest symbol
# version the program takes from it, as dpkg-shlibdeps would say.
if(CPACK_ZEMKAR_PROGRAM AND CPACK_GENERATOR STREQUAL "DEB")
  execute_process(COMMAND "${CPACK_ZEMKAR_OBJDUMP}" -T "${CPACK_ZEMKAR_PROGRAM}" OUTPUT_VARIABLE symbols)
  string(REGEX MATCHALL "GLIBC_[0-9.]+" versions "${symbols}")
  list(TRANSFORM versions REPLACE "GLIBC_" "")
  list(SORT versions COMPARE NATURAL)
  list(GET versions -1 newest)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${newest})")
endif()
