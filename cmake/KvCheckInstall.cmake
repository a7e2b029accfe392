# Installs the build with the prefix /opt/kv below DESTDIR=PREFIX, a scratch
# directory, and checks the installed tree: kvoam, with WBLOAD unset, finds
# the plug-in and the search path relative to itself and boots a board with
# the installed files; libkv.so finds its device layer through $ORIGIN only
# and exports the entry points only; kvoam reports the project's version; the
# man pages name the tree's paths under /opt/kv; the bash completion of kvoam
# completes options and the products kvoam names.
foreach(var BUILD PREFIX VERSION PLUGIN_DIR DATA_DIR MAP)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "KvCheckInstall: ${var} is not set")
  endif()
endforeach()

function(fail message)
  message(FATAL_ERROR "KvCheckInstall: ${message}")
endfunction()

file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND ${CMAKE_COMMAND} -E env DESTDIR=${PREFIX} ${CMAKE_COMMAND} --install "${BUILD}" --prefix /opt/kv
  OUTPUT_QUIET RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  fail("cmake --install failed")
endif()
set(root "${PREFIX}")
set(PREFIX "${root}/opt/kv")

foreach(page man1/kvoam.1 man7/libkv.7)
  execute_process(COMMAND gzip -dc "${PREFIX}/share/man/${page}.gz" OUTPUT_VARIABLE text RESULT_VARIABLE status)
  string(REGEX MATCH "(@[A-Z_]+@|${root})" wrong "${text}")
  string(FIND "${text}" "\n.I /opt/kv/${DATA_DIR}\n" at)
  if(NOT status EQUAL 0 OR wrong OR at EQUAL -1)
    fail("${page} does not name the installed tree /opt/kv/${DATA_DIR} (${wrong})")
  endif()
endforeach()

execute_process(COMMAND bash -c "source \"$1\"; COMP_WORDS=(\"$2\" --ch); COMP_CWORD=1; _kvoam; echo \"\${COMPREPLY[*]}\";
    COMP_WORDS=(\"$2\" --check --product KV7400C-4); COMP_CWORD=3; _kvoam; echo \"\${COMPREPLY[*]}\""
  _ "${PREFIX}/share/bash-completion/completions/kvoam" "${PREFIX}/bin/kvoam" OUTPUT_VARIABLE completed)
if(NOT completed STREQUAL "--check\nKV7400C-48\n")
  fail("the bash completion of kvoam completes '--ch' and '--check --product KV7400C-4' as: ${completed}")
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

file(REMOVE_RECURSE "${root}")
