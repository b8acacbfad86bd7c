# Writes OUT (version.h) with the checkout's git description, touching it only when the
# description changed: run at every build, so --version never names an older commit.
execute_process(COMMAND git describe --always --dirty --tags
  WORKING_DIRECTORY ${SRC} OUTPUT_VARIABLE _describe OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET RESULT_VARIABLE _rc)
if(NOT _rc EQUAL 0 OR _describe STREQUAL "")
  set(_describe "unknown (not built from a git checkout)")
endif()
set(_text "#define ONDAVIX_SIM_VERSION \"${_describe}\"\n")
if(EXISTS ${OUT})
  file(READ ${OUT} _old)
endif()
if(NOT "${_old}" STREQUAL "${_text}")
  file(WRITE ${OUT} "${_text}")
endif()
