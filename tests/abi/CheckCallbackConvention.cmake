# Compiles CallbackConvention.cpp once as a driver writes it (must compile),
# then once per case with one routine missing the Windows calling convention
# (each must be refused, for that reason and no other).
#   cmake -DCXX=... -DINCLUDE=hosted/include -DSOURCE=... -DCASES=N -P CheckCallbackConvention.cmake
set(flags -std=c++20 -fsyntax-only -Werror -I${INCLUDE} ${SOURCE})

execute_process(COMMAND ${CXX} ${flags} RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "routines with the Windows convention do not compile:\n${err}")
endif()

foreach(case RANGE 1 ${CASES})
  execute_process(COMMAND ${CXX} ${flags} -DCASE=${case} RESULT_VARIABLE rc ERROR_VARIABLE err OUTPUT_VARIABLE out)
  if(rc EQUAL 0)
    message(FATAL_ERROR "case ${case}: a routine without the Windows convention was accepted")
  endif()
  if(NOT err MATCHES "invalid (user-defined )?conversion")
    message(FATAL_ERROR "case ${case}: refused, but not for the calling convention:\n${err}")
  endif()
  string(REGEX MATCHALL "error:" errors "${err}")
  list(LENGTH errors count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "case ${case}: ${count} errors where one was expected:\n${err}")
  endif()
endforeach()
