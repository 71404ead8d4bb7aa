# Compiles two one-line units with a layer's include path: one including the
# layer's own header (must compile), one including a higher layer's header
# (must fail with that header not found).
string(REPLACE "|" ";" dirs "${INCLUDES}")
set(flags -std=c++20 -fsyntax-only)
foreach(dir ${dirs})
  list(APPEND flags -I${dir})
endforeach()
file(MAKE_DIRECTORY ${WORK})
file(WRITE ${WORK}/own.cpp "#include \"${OWN}\"\n")
file(WRITE ${WORK}/upper.cpp "#include \"${UPPER}\"\n")
execute_process(COMMAND ${COMPILER} ${flags} ${WORK}/own.cpp
  RESULT_VARIABLE own_rc ERROR_VARIABLE own_err)
if(NOT own_rc EQUAL 0)
  message(FATAL_ERROR "the layer's own header ${OWN} does not compile:\n${own_err}")
endif()
execute_process(COMMAND ${COMPILER} ${flags} ${WORK}/upper.cpp
  RESULT_VARIABLE upper_rc ERROR_VARIABLE upper_err)
if(upper_rc EQUAL 0)
  message(FATAL_ERROR "${UPPER} is reachable from this layer")
endif()
string(FIND "${upper_err}" "${UPPER}" at)
if(at EQUAL -1 OR NOT upper_err MATCHES "No such file|file not found")
  message(FATAL_ERROR "${UPPER} failed for another reason than not being found:\n${upper_err}")
endif()
