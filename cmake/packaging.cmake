# Installation and packages, all made by CPack and the same bytes from any
# build of one commit (see cpack-options.cmake):
#   default build   a .deb: /usr/bin/zemkar, its manual page, copyright, changelog
#   ZEMKAR_STATIC   a .tar.gz: the static program, its manual page, README, LICENSE
#   Windows         a .zip: zemkar.exe, README, LICENSE, the manual page as text
# Each also holds the CMake package that find_package(zemkar) finds: the
# program as zemkar::zemkar and zemkar_add_image().
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ZEMKAR_MAINTAINER "zemkar developers <zemkar@example.org>" CACHE STRING
    "Maintainer of the packages: name <address>")
set(CPACK_PACKAGE_VENDOR "the zemkar developers")
set(CPACK_PACKAGE_CONTACT "${ZEMKAR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "converts two joined Intel HEX images into one firmware image")
set(CPACK_PACKAGE_DESCRIPTION [[
zemkar turns one Intel HEX text that holds two program images, such as a
bootloader and an application joined end to end, into one binary firmware
image: the first image's data, 0xFF up to offset 0x8000, then the second
image's data. There is no default form: the option chooses the raw image,
written to flash, or the headed image, which opens with a 10-byte header
carrying a 16-bit checksum, the signature 0x55 0xAA and the image length.
.
A text that would give a wrong image is rejected with a message naming the
line, and a failed run leaves no output file behind. An application whose
data do not start 0x8000 above the bootloader's is warned of, or with
--strict refused, and a HEX file given as the output is not written over.]])
set(CPACK_STRIP_FILES ON)
set(CPACK_PROJECT_CONFIG_FILE "${PROJECT_SOURCE_DIR}/cmake/cpack-options.cmake")
set(CPACK_ZEMKAR_SOURCE_DIR "${PROJECT_SOURCE_DIR}")

# gzip -9n: no name and no time stamp inside, as Debian compresses.
function(zemkar_gzip source output)
  add_custom_command(OUTPUT ${output} COMMAND gzip -9n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()

if(WIN32)
  # The manual page as plain text, for reading without man.
  add_custom_command(OUTPUT zemkar.txt
                     COMMAND groff -t -man -Tascii -P-cbou ${PROJECT_SOURCE_DIR}/man/zemkar.1 > zemkar.txt
                     DEPENDS man/zemkar.1 VERBATIM)
  add_custom_target(manual ALL DEPENDS zemkar.txt)
  install(TARGETS zemkar EXPORT zemkarTargets RUNTIME DESTINATION .)
  install(FILES README.md LICENSE ${PROJECT_BINARY_DIR}/zemkar.txt DESTINATION .)
  set(cmake_package_dir cmake)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
elseif(ZEMKAR_STATIC)
  install(TARGETS zemkar EXPORT zemkarTargets RUNTIME DESTINATION .)
  install(FILES man/zemkar.1 README.md LICENSE DESTINATION .)
  set(cmake_package_dir cmake)
  set(CPACK_GENERATOR TGZ)
  set(CPACK_PACKAGE_FILE_NAME "zemkar-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR}-static")
else()
  zemkar_gzip(${PROJECT_SOURCE_DIR}/man/zemkar.1 zemkar.1.gz)
  zemkar_gzip(${PROJECT_SOURCE_DIR}/packaging/changelog changelog.gz)
  add_custom_target(compressed-docs ALL DEPENDS zemkar.1.gz changelog.gz)
  install(TARGETS zemkar EXPORT zemkarTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  set(cmake_package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/zemkar)
  install(FILES ${PROJECT_BINARY_DIR}/zemkar.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/zemkar)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEMKAR_MAINTAINER}")
  if(CMAKE_CROSSCOMPILING)
    # dpkg knows only this machine's architecture and libraries: the package
    # names the target's, and cpack-options.cmake reads the C library
    # version needed from the program's own symbols.
    # Each processor the presets build, and its Debian architecture.
    set(processors aarch64 s390x x86_64 armv7l i686)
    set(architectures arm64 s390x amd64 armhf i386)
    list(FIND processors ${CMAKE_SYSTEM_PROCESSOR} at)
    if(at EQUAL -1)
      message(FATAL_ERROR "No Debian architecture is known for the processor ${CMAKE_SYSTEM_PROCESSOR}: "
                          "add it to the lists in cmake/packaging.cmake")
    endif()
    list(GET architectures ${at} CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
    set(CPACK_ZEMKAR_OBJDUMP "${CMAKE_OBJDUMP}")
    set(CPACK_ZEMKAR_PROGRAM "${PROJECT_BINARY_DIR}/zemkar")
  else()
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  endif()
endif()

# Any zemkar of the same major version will do, whatever the processor of
# the firmware project that asks for it.
write_basic_package_version_file(zemkarConfigVersion.cmake COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(EXPORT zemkarTargets NAMESPACE zemkar:: DESTINATION ${cmake_package_dir})
install(FILES cmake/zemkarConfig.cmake cmake/zemkarImage.cmake cmake/zemkarConvert.cmake
              ${PROJECT_BINARY_DIR}/zemkarConfigVersion.cmake
        DESTINATION ${cmake_package_dir})
include(CPack)
