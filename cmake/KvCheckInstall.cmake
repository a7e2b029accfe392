# Installs the build into a scratch prefix and checks the installed tree:
# kvoam, with WBLOAD unset, finds the plug-in and the search path relative to
# itself and boots a board with the installed files; libkv.so finds its device layer through $ORIGIN
# only and exports the entry points only; kvoam reports the project's version.
foreach(var BUILD PREFIX VERSION PLUGIN_DIR DATA_DIR MAP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "KvCheckInstall: ${var} is not set")
  endif()
endforeach()

function(fail message)
  message(FATAL_ERROR "KvCheckInstall: ${message}")
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD}" --prefix "${PREFIX}"
  OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("cmake --install failed")
endif()

set(kvoam "${PREFIX}/bin/kvoam")
execute_process(COMMAND "${kvoam}" --version OUTPUT_VARIABLE version OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT version STREQUAL "kvoam ${VERSION}")
  fail("kvoam --version answers '${version}'")
endif()

execute_process(
  COMMAND ${CMAKE_COMMAND} -E env --unset=WBLOAD
          "${kvoam}" -c "init; create b0 KV 7400C-48; start b0; get b0 State; exit"
  OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("the installed kvoam failed (${status}):\n${errors}${output}")
endif()
string(FIND "${output}" "${PREFIX}/bin/../${DATA_DIR}/kv7400cpci_48.dft" at)
if(at EQUAL -1)
  fail("the board did not read its configuration from the installed search path:\n${output}")
endif()
string(FIND "${output}" "GetKeyword(\"b0\", \"State\") -> 0x00000000 ok: BOOTED" at)
if(at EQUAL -1)
  fail("the board did not boot:\n${output}")
endif()

set(plugin "${PREFIX}/${PLUGIN_DIR}/libkv.so")
execute_process(COMMAND readelf -d "${plugin}" OUTPUT_VARIABLE dynamic)
string(REGEX MATCHALL "\\((RUNPATH|RPATH)\\)[^\n]*" paths "${dynamic}")
if(NOT paths MATCHES "^\\(RUNPATH\\) +Library runpath: \\[\\$ORIGIN\\]$")
  fail("libkv.so's run path is '${paths}', not $ORIGIN alone")
endif()

# The exported functions are exactly the version script's global names.
file(READ "${MAP}" map)
string(REGEX MATCH "global:([^}]*)local:" map "${map}")
string(REGEX MATCHALL "[A-Za-z_]+" expected "${CMAKE_MATCH_1}")
list(SORT expected)
execute_process(COMMAND nm -D --defined-only "${plugin}" OUTPUT_VARIABLE symbols)
string(REGEX MATCHALL "[0-9a-f]+ T [^\n]+" exported "${symbols}")
list(TRANSFORM exported REPLACE "^[0-9a-f]+ T " "")
list(SORT exported)
if(NOT exported STREQUAL expected)
  fail("libkv.so exports '${exported}', not '${expected}'")
endif()

file(REMOVE_RECURSE "${PREFIX}")
