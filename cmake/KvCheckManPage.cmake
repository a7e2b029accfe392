# Checks that kvoam(1) documents every option, command and emu sub-command
# that `kvoam --help` lists, so the page cannot fall behind the program.
#   cmake -DKVOAM=path/to/kvoam -DPAGE=doc/kvoam.1.in -P KvCheckManPage.cmake
execute_process(COMMAND "${KVOAM}" --help OUTPUT_VARIABLE help RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "kvoam --help failed (${status})")
endif()
file(READ "${PAGE}" page)
# The page's words, with roff's escaped hyphens and font changes undone.
string(REPLACE "\\-" "-" page "${page}")
string(REGEX REPLACE "\\\\f[BIRP]" "" page "${page}")

# Options: "--word" and "-c" anywhere in the usage; commands: the first word
# (and the next lower-case words after "emu") of each indented line of the
# command list.
string(REGEX REPLACE "[][|]" " " usage "${help}")
string(REGEX MATCHALL " --?[a-z][a-z-]*" options "${usage}")
list(TRANSFORM options STRIP)
string(FIND "${help}" "Commands" at)
string(SUBSTRING "${help}" ${at} -1 commands)
string(REGEX MATCHALL "\n  (emu [a-z0-9]+( [a-z]+)?|[a-z0-9]+)" commands "${commands}")
list(TRANSFORM commands REPLACE "^\n  " "")
set(names ${options} ${commands})
list(REMOVE_DUPLICATES names)

set(missing "")
foreach(name IN LISTS names)
  # A name stands in the page as a word of its own (after "emu " for the
  # sub-commands, which the page lists as "emu NAME").
  string(REGEX REPLACE "([.+*?^$])" "\\\\\\1" pattern "${name}")
  string(REPLACE " " "\"? +\"?" pattern "${pattern}")
  if(NOT page MATCHES "(^|[ \"\n])${pattern}([ \"\n,=]|$)")
    list(APPEND missing "${name}")
  endif()
endforeach()
if(missing)
  message(FATAL_ERROR "kvoam(1) does not document: ${missing}")
endif()
list(LENGTH names count)
message(STATUS "kvoam(1) documents all ${count} options and commands")
