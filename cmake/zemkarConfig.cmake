# find_package(zemkar): the installed program as the imported target
# zemkar::zemkar, and zemkar_add_image() to make a firmware image in a build.
if(CMAKE_VERSION VERSION_LESS 3.18)
  message(FATAL_ERROR "zemkar_add_image needs CMake 3.18 or later")
endif()
include("${CMAKE_CURRENT_LIST_DIR}/zemkarTargets.cmake")
include("${CMAKE_CURRENT_LIST_DIR}/zemkarImage.cmake")
