# Man pages: kvoam(1), written by hand, and libkv(7), the keyword reference
# generated at build time from the schema that the built plug-in reports
# through kvoam. Both are installed compressed, as Debian wants them.
find_program(KV_GZIP gzip REQUIRED)
set(KV_MAN_BUILD_DIR "${PROJECT_BINARY_DIR}/man")

set(VERSION "${PROJECT_VERSION}")
set(PLUGIN "${CMAKE_INSTALL_PREFIX}/${KV_PLUGIN_DIR}/libkv.so")
set(DATADIR_KV "${CMAKE_INSTALL_FULL_DATADIR}/kv")
set(PRIVATEDIR "${CMAKE_INSTALL_FULL_LIBDIR}/kvoam")
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
configure_file(doc/kvoam.1.in "${KV_MAN_BUILD_DIR}/kvoam.1" @ONLY)

add_custom_command(OUTPUT "${KV_MAN_BUILD_DIR}/libkv.7"
  COMMAND ${CMAKE_COMMAND}
    -DKVOAM=$<TARGET_FILE:kvoam>
    -DSHARE=${PROJECT_SOURCE_DIR}/share
    -DTEMPLATE=${PROJECT_SOURCE_DIR}/doc/libkv.7.in
    -DOUTPUT=${KV_MAN_BUILD_DIR}/libkv.7
    -DVERSION=${PROJECT_VERSION}
    -DPLUGIN=${PLUGIN}
    -DDATADIR_KV=${DATADIR_KV}
    -DRESULTS=${KV_RESULTS_TABLE}
    -P ${CMAKE_CURRENT_LIST_DIR}/KvKeywordManPage.cmake
  DEPENDS kvoam kv "${PROJECT_SOURCE_DIR}/doc/libkv.7.in" "${CMAKE_CURRENT_LIST_DIR}/KvKeywordManPage.cmake"
          "${KV_RESULTS_TABLE}"
  COMMENT "Generating libkv(7) from the plug-in's keyword schema"
  VERBATIM)

foreach(page kvoam.1 libkv.7)
  add_custom_command(OUTPUT "${KV_MAN_BUILD_DIR}/${page}.gz"
    COMMAND ${KV_GZIP} -9 -n -k -f "${KV_MAN_BUILD_DIR}/${page}"
    DEPENDS "${KV_MAN_BUILD_DIR}/${page}"
    VERBATIM)
endforeach()
add_custom_target(manpages ALL DEPENDS "${KV_MAN_BUILD_DIR}/kvoam.1.gz" "${KV_MAN_BUILD_DIR}/libkv.7.gz")

install(FILES "${KV_MAN_BUILD_DIR}/kvoam.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT kvoam)
install(FILES "${KV_MAN_BUILD_DIR}/libkv.7.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man7" COMPONENT libkv)

if(KV_TESTS)
  add_test(NAME kvoam_manpage_documents_every_command
    COMMAND ${CMAKE_COMMAND} -DKVOAM=$<TARGET_FILE:kvoam> -DPAGE=${PROJECT_SOURCE_DIR}/doc/kvoam.1.in
            -P ${CMAKE_CURRENT_LIST_DIR}/KvCheckManPage.cmake)
  set_tests_properties(kvoam_manpage_documents_every_command PROPERTIES LABELS unit)
  # Every example of kvoam(1) runs as it is printed.
  add_test(NAME kvoam_manpage_examples_run
    COMMAND ${PROJECT_SOURCE_DIR}/scripts/man-examples $<TARGET_FILE:kvoam> ${PROJECT_SOURCE_DIR}/doc/kvoam.1.in
            ${PROJECT_SOURCE_DIR}/share)
  set_tests_properties(kvoam_manpage_examples_run PROPERTIES LABELS unit)
endif()
