# What the generators made from the plug-in's schema share: kvoam's JSON
# lines of a walk of the keyword tree, and reading one member of such a line.
# Included by scripts run with cmake -P, which set KVOAM and SHARE, or SCHEMA
# to read the lines from a file instead of running kvoam.

# The lines kvoam prints for the commands (a script of "schema" commands
# after "init" and the creation of a board "b0" of the largest model); a
# failure ends the calling script with a message naming it.
function(kv_schema_lines out caller commands)
  if(DEFINED SCHEMA)
    file(READ "${SCHEMA}" lines)
  else()
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env WBLOAD=${SHARE} ${KVOAM} --json -c "${commands}"
      OUTPUT_VARIABLE lines ERROR_VARIABLE errors RESULT_VARIABLE status)
    if(NOT status EQUAL 0)
      message(FATAL_ERROR "${caller}: kvoam's schema failed (${status}):\n${errors}${lines}")
    endif()
  endif()
  set(${out} "${lines}" PARENT_SCOPE)
endfunction()

# One member of a JSON object as text, or empty when missing or null.
function(json_member out object name)
  string(JSON value ERROR_VARIABLE error GET "${object}" "${name}")
  if(error OR value STREQUAL "null")
    set(value "")
  endif()
  set(${out} "${value}" PARENT_SCOPE)
endfunction()
