# Man pages: kvoam(1), written by hand, and libkv(7), the keyword reference
# generated at build time from the schema that the built plug-in reports
# through kvoam. The paths they name are those of the tree they are installed
# in, which only the installation knows (cmake --install --prefix, DESTDIR):
# the build leaves @PLUGIN@, @DATADIR_KV@, @PRIVATEDIR@ and @BASHCOMPLETION@ in
# them and the installation fills them in (KvInstallManPage.cmake) and
# compresses the pages, as Debian wants them.
find_program(KV_GZIP gzip REQUIRED)
set(KV_MAN_BUILD_DIR "${PROJECT_BINARY_DIR}/man")

set(VERSION "${PROJECT_VERSION}")
# The result codes, one table for both pages, written in doc/results.man: it
# must name every code the entry points' and the board's headers define.
set(KV_RESULTS_TABLE "${PROJECT_SOURCE_DIR}/doc/results.man")
set(KV_RESULT_HEADERS "${PROJECT_SOURCE_DIR}/include/oam/boardplugin.h"
                      "${PROJECT_SOURCE_DIR}/api/oam/boardplugin/kvplugin/KvResults.h")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${KV_RESULTS_TABLE}" ${KV_RESULT_HEADERS})
file(READ "${KV_RESULTS_TABLE}" RESULT_CODES)
string(TOUPPER "${RESULT_CODES}" listed)
foreach(header IN LISTS KV_RESULT_HEADERS)
  file(STRINGS "${header}" definitions REGEX "= 0x[0-9A-Fa-f]+")
  foreach(definition IN LISTS definitions)
    string(REGEX MATCH "0x[0-9A-Fa-f]+" code "${definition}")
    string(TOUPPER "${code}" key)
    if(NOT listed MATCHES "\\.B ${key}\n")
      message(FATAL_ERROR "doc/results.man does not list the result code ${code} of ${header}")
    endif()
  endforeach()
endforeach()
foreach(path PLUGIN DATADIR_KV PRIVATEDIR BASHCOMPLETION)
  set(${path} "@${path}@")
endforeach()
configure_file(doc/kvoam.1.in "${KV_MAN_BUILD_DIR}/kvoam.1.in" @ONLY)

add_custom_command(OUTPUT "${KV_MAN_BUILD_DIR}/libkv.7.in"
  COMMAND ${CMAKE_COMMAND}
    -DKVOAM=$<TARGET_FILE:kvoam>
    -DSHARE=${PROJECT_SOURCE_DIR}/share
    -DTEMPLATE=${PROJECT_SOURCE_DIR}/doc/libkv.7.in
    -DOUTPUT=${KV_MAN_BUILD_DIR}/libkv.7.in
    -DVERSION=${PROJECT_VERSION}
    -DRESULTS=${KV_RESULTS_TABLE}
    -P ${CMAKE_CURRENT_LIST_DIR}/KvKeywordManPage.cmake
  DEPENDS kvoam kv "${PROJECT_SOURCE_DIR}/doc/libkv.7.in" "${CMAKE_CURRENT_LIST_DIR}/KvKeywordManPage.cmake"
          "${CMAKE_CURRENT_LIST_DIR}/KvSchemaLines.cmake"
          "${KV_RESULTS_TABLE}"
  COMMENT "Generating libkv(7) from the plug-in's keyword schema"
  VERBATIM)
add_custom_target(manpages ALL DEPENDS "${KV_MAN_BUILD_DIR}/kvoam.1.in" "${KV_MAN_BUILD_DIR}/libkv.7.in")

# The installed paths: relative ones under the prefix the installation is
# given, absolute ones as they are.
foreach(page kvoam.1:kvoam libkv.7:libkv)
  string(REPLACE ":" ";" page "${page}")
  list(GET page 0 name)
  list(GET page 1 component)
  string(REGEX REPLACE "^.*\\." "man" section "${name}")
  install(CODE "
    set(KV_PAGE_TEMPLATE \"${KV_MAN_BUILD_DIR}/${name}.in\")
    set(KV_PAGE_DIR \"${CMAKE_INSTALL_MANDIR}/${section}\")
    set(KV_PAGE_PATHS PLUGIN \"${KV_PLUGIN_DIR}/libkv.so\" DATADIR_KV \"${KV_DATA_DIR}\" PRIVATEDIR \"${KV_PRIVATE_DIR}\"
      BASHCOMPLETION \"${CMAKE_INSTALL_DATADIR}/bash-completion/completions/kvoam\")
    set(KV_GZIP \"${KV_GZIP}\")
    include(\"${CMAKE_CURRENT_LIST_DIR}/KvInstallManPage.cmake\")" COMPONENT ${component})
endforeach()

if(KV_TESTS)
  add_test(NAME kvoam_manpage_documents_every_command
    COMMAND ${CMAKE_COMMAND} -DKVOAM=$<TARGET_FILE:kvoam> -DPAGE=${PROJECT_SOURCE_DIR}/doc/kvoam.1.in
            -P ${CMAKE_CURRENT_LIST_DIR}/KvCheckManPage.cmake)
  set_tests_properties(kvoam_manpage_documents_every_command PROPERTIES LABELS unit)
  # Every example command of the README and the man pages runs as it is
  # printed, against this build. It installs the build, rebuilds it (a no-op
  # once built) and compiles with its kit, so it runs alone; and in the plain
  # build only: programs linked against a sanitizer build's libraries would
  # need its run-time.
  if(NOT KV_SANITIZE AND NOT KV_TSAN)
    add_test(NAME doc_examples_run COMMAND ${PROJECT_SOURCE_DIR}/scripts/doc-examples ${PROJECT_BINARY_DIR})
    set_tests_properties(doc_examples_run PROPERTIES LABELS unit RUN_SERIAL TRUE)
  endif()
endif()
