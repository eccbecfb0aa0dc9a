# The version comes from the project; the build number and date are stamped when the
# build is configured, so a reconfigure is what moves them.
execute_process(
  COMMAND git rev-list --count HEAD
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  OUTPUT_VARIABLE TALLYVOX_BUILD_NUMBER
  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(NOT TALLYVOX_BUILD_NUMBER)
  set(TALLYVOX_BUILD_NUMBER "dev")
endif()
string(TIMESTAMP TALLYVOX_BUILD_DATE "%Y-%m-%d" UTC)
set(TALLYVOX_VERSION "${PROJECT_VERSION}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/BuildInfo.h.in ${CMAKE_BINARY_DIR}/generated/BuildInfo.h @ONLY)
