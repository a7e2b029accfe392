# Writes the libFuzzer dictionaries of the configuration and keyword fuzz
# targets from the plug-in's own schema, so that they hold every keyword,
# choice and limit the plug-in has and never drift from it.
#
#   cmake -DKVOAM=path/to/kvoam -DSHARE=dir -DCONFIG=config.dict
#         -DKEYWORD=keyword.dict -P FuzzDictionary.cmake
#
# kvoam's "schema" command (JSON lines) walks the keyword tree of a board of
# the largest model and of the plug-in object through GetQualifier. Both
# dictionaries hold the board's keyword paths (array elements as [0]), each
# name in them (and each array's Count), the choices and the limits. The
# keyword dictionary adds the
# plug-in object's keywords and the qualifiers the walk read: Kind, Type and
# Settable of every keyword, Children and Child[0] of structures and arrays,
# Default, Choices, Minimum and Maximum where a keyword answered them.
# -DSCHEMA=file reads such lines from a file instead of running kvoam.

foreach(var CONFIG KEYWORD)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "FuzzDictionary: ${var} is not set")
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/../cmake/KvSchemaLines.cmake)
set(product "KV 7400C-48")
kv_schema_lines(lines FuzzDictionary "init; detect; create b0 ${product}; schema b0; note plug-in object; schema -; exit")

set(board "")       # tokens of the board's tree
set(plugin "")      # tokens of the plug-in object's tree
set(qualifiers "")
set(into board)
string(REPLACE "\n" ";" lines "${lines}")
foreach(line IN LISTS lines)
  if(line MATCHES "^{\"note\":")
    set(into plugin)
  endif()
  if(NOT line MATCHES "^{\"keyword\":")
    continue()
  endif()
  json_member(path "${line}" keyword)
  json_member(type "${line}" type)
  string(REGEX REPLACE "\\[[0-9]+\\]" "[0]" path "${path}")
  list(APPEND ${into} "${path}")
  string(REGEX REPLACE "\\[0\\]" "" names "${path}")
  string(REPLACE "." ";" names "${names}")
  list(APPEND ${into} ${names})
  list(APPEND qualifiers Kind Type Settable)
  if(type STREQUAL "structure" OR type STREQUAL "array")
    list(APPEND qualifiers Children "Child[0]")
  endif()
  if(type STREQUAL "array")  # its length is the read-only keyword Count below it
    list(APPEND ${into} "${path}.Count" Count)
  endif()
  json_member(default "${line}" default)
  if(NOT default STREQUAL "")
    list(APPEND qualifiers Default)
  endif()
  string(JSON count ERROR_VARIABLE error LENGTH "${line}" choices)
  if(NOT error AND count GREATER 0)
    list(APPEND qualifiers Choices)
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      string(JSON choice GET "${line}" choices ${i})
      list(APPEND ${into} "${choice}")
    endforeach()
  endif()
  json_member(min "${line}" min)
  json_member(max "${line}" max)
  if(NOT min STREQUAL "")
    list(APPEND qualifiers Minimum Maximum)
    list(APPEND ${into} "${min}" "${max}")
  endif()
endforeach()
if(NOT board)
  message(FATAL_ERROR "FuzzDictionary: kvoam listed no keyword of the board")
endif()

# Writes the tokens, each once, as dictionary entries ("token", with '\' and
# '"' escaped).
function(write_dictionary file)
  set(tokens ${ARGN})
  list(REMOVE_DUPLICATES tokens)
  list(LENGTH tokens count)
  set(text "# The plug-in's keyword names, choices and limits: ${count} entries, made from its schema by\n"
           "# fuzz/FuzzDictionary.cmake at build time.\n")
  foreach(token IN LISTS tokens)
    string(REPLACE "\\" "\\\\" token "${token}")
    string(REPLACE "\"" "\\\"" token "${token}")
    string(APPEND text "\"${token}\"\n")
  endforeach()
  file(WRITE "${file}" ${text})
endfunction()

write_dictionary("${CONFIG}" ${board})
write_dictionary("${KEYWORD}" ${board} ${plugin} ${qualifiers})
