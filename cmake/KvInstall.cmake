# What `cmake --install` puts where, and the packages made of it.
#
# Product: the plug-in libkv.so and its device layer libkvdev.so, in the
# plug-in directory (KV_PLUGIN_DIR), with the shipped search path in
# ${datadir}/kv. Stand-ins for what a real host provides (the framework
# libzel, the portability library libtsi and the emulated driver library
# libkvd) go to kvoam's private directory, where they can never shadow a real
# driver; kvoam reaches them through its own RUNPATH, the plug-in never does.
#
# Components, one Debian package each: libkv (the plug-in), kvoam (the shell
# and its private libraries) and dev (the development kit, package libkv-dev).

# The plug-in directory, relative to the prefix. Its default follows
# CMAKE_INSTALL_LIBDIR (which depends on the prefix) until it is set by hand.
set(_kv_plugin_dir_default "${CMAKE_INSTALL_LIBDIR}/kv")
if(NOT DEFINED KV_PLUGIN_DIR OR KV_PLUGIN_DIR STREQUAL "${_KV_PLUGIN_DIR_DEFAULT}")
  set(KV_PLUGIN_DIR "${_kv_plugin_dir_default}" CACHE PATH
      "Directory of libkv.so and libkvd's device layer, relative to the prefix" FORCE)
endif()
set(_KV_PLUGIN_DIR_DEFAULT "${_kv_plugin_dir_default}" CACHE INTERNAL "")

set(KV_PRIVATE_DIR "${CMAKE_INSTALL_LIBDIR}/kvoam")  # kvoam's stand-ins of the host
set(KV_DATA_DIR "${CMAKE_INSTALL_DATADIR}/kv")       # the shipped search path
set(KV_CMAKE_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/libkv")
set(KV_PKGCONFIG_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
set(KV_INCLUDE_DIR "${CMAKE_INSTALL_INCLUDEDIR}/libkv")

# The relative path from one installed directory to another (both relative
# to the prefix, or absolute), for $ORIGIN RUNPATHs and kvoam's lookups.
function(kv_relative_path out from to)
  foreach(dir from to)
    if(IS_ABSOLUTE "${${dir}}")
      set(${dir}_full "${${dir}}")
    else()
      set(${dir}_full "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
  endforeach()
  file(RELATIVE_PATH relative "${from_full}" "${to_full}")
  string(REGEX REPLACE "/$" "" relative "${relative}")
  if(relative STREQUAL "")
    set(relative ".")
  endif()
  set(${out} "${relative}" PARENT_SCOPE)
endfunction()

kv_relative_path(_kv_bin_to_private "${CMAKE_INSTALL_BINDIR}" "${KV_PRIVATE_DIR}")
kv_relative_path(_kv_bin_to_plugin "${CMAKE_INSTALL_BINDIR}" "${KV_PLUGIN_DIR}")
kv_relative_path(_kv_bin_to_data "${CMAKE_INSTALL_BINDIR}" "${KV_DATA_DIR}")
kv_relative_path(_kv_private_to_plugin "${KV_PRIVATE_DIR}" "${KV_PLUGIN_DIR}")

# ---- RUNPATHs: $ORIGIN only, so the tree works from any prefix -------------
# The plug-in finds its device layer beside it; the framework, the portability
# library and the driver library are the host's, already loaded when the host
# opens the plug-in.
set_target_properties(kv PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(zel PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(kvd PROPERTIES INSTALL_RPATH "$ORIGIN/${_kv_private_to_plugin}")
set_target_properties(kvoam PROPERTIES
  INSTALL_RPATH "$ORIGIN/${_kv_bin_to_private};$ORIGIN/${_kv_bin_to_plugin}")
target_compile_definitions(kvoam PRIVATE
  KVOAM_VERSION="${PROJECT_VERSION}"
  KVOAM_INSTALLED_PLUGIN="${_kv_bin_to_plugin}/$<TARGET_FILE_NAME:kv>"
  KVOAM_INSTALLED_SHARE="${_kv_bin_to_data}")

set_target_properties(kv_declarations PROPERTIES EXPORT_NAME declarations)
set_target_properties(kvd PROPERTIES EXPORT_NAME kvemu)

# ---- The plug-in (package libkv) --------------------------------------------
install(TARGETS kv LIBRARY DESTINATION "${KV_PLUGIN_DIR}" COMPONENT libkv NAMELINK_COMPONENT libkv)
install(TARGETS kvdev EXPORT libkvTargets
  LIBRARY DESTINATION "${KV_PLUGIN_DIR}" COMPONENT libkv NAMELINK_COMPONENT libkv)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/share/" DESTINATION "${KV_DATA_DIR}" COMPONENT libkv)

# ---- kvoam and its private libraries (package kvoam) ------------------------
install(TARGETS kvoam RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT kvoam)
install(FILES "${PROJECT_SOURCE_DIR}/tools/kvoam/completion.bash"
  DESTINATION "${CMAKE_INSTALL_DATADIR}/bash-completion/completions" RENAME kvoam COMPONENT kvoam)
install(TARGETS zel tsi kvd EXPORT libkvTargets
  LIBRARY DESTINATION "${KV_PRIVATE_DIR}" COMPONENT kvoam NAMELINK_COMPONENT kvoam)

# ---- The development kit (package libkv-dev) --------------------------------
install(TARGETS kv_declarations EXPORT libkvTargets)
install(DIRECTORY "${PROJECT_SOURCE_DIR}/include/" DESTINATION "${KV_INCLUDE_DIR}"
  COMPONENT dev FILES_MATCHING PATTERN "*.h")
install(FILES "${PROJECT_SOURCE_DIR}/platform/kvemu/include/kvemu.h"
  "${PROJECT_SOURCE_DIR}/platform/zel/include/zelcontrol.h" DESTINATION "${KV_INCLUDE_DIR}" COMPONENT dev)
target_include_directories(kv_declarations INTERFACE $<INSTALL_INTERFACE:${KV_INCLUDE_DIR}>)

# The entry-point and supervisor-call declarations compile as C99: the
# consumer's supervisor, written in C, is compiled with every build.
add_library(kv_c99_supervisor OBJECT "${PROJECT_SOURCE_DIR}/packaging/consumer/supervisor.c")
set_target_properties(kv_c99_supervisor PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(kv_c99_supervisor PRIVATE -pedantic-errors)
target_link_libraries(kv_c99_supervisor PRIVATE kv_declarations)

include(CMakePackageConfigHelpers)
install(EXPORT libkvTargets NAMESPACE libkv:: DESTINATION "${KV_CMAKE_DIR}" COMPONENT dev)
configure_package_config_file(cmake/libkvConfig.cmake.in
  "${PROJECT_BINARY_DIR}/cmake/libkvConfig.cmake"
  INSTALL_DESTINATION "${KV_CMAKE_DIR}"
  PATH_VARS KV_PLUGIN_DIR KV_PRIVATE_DIR KV_DATA_DIR)
write_basic_package_version_file("${PROJECT_BINARY_DIR}/cmake/libkvConfigVersion.cmake"
  COMPATIBILITY SameMajorVersion)
install(FILES "${PROJECT_BINARY_DIR}/cmake/libkvConfig.cmake"
  "${PROJECT_BINARY_DIR}/cmake/libkvConfigVersion.cmake"
  DESTINATION "${KV_CMAKE_DIR}" COMPONENT dev)

# libkv.pc finds its prefix from its own location.
kv_relative_path(KV_PC_TO_PREFIX "${KV_PKGCONFIG_DIR}" "")
if(IS_ABSOLUTE "${KV_PLUGIN_DIR}")
  set(KV_PC_PLUGIN_DIR "${KV_PLUGIN_DIR}")
else()
  set(KV_PC_PLUGIN_DIR "\${prefix}/${KV_PLUGIN_DIR}")
endif()
configure_file(cmake/libkv.pc.in "${PROJECT_BINARY_DIR}/cmake/libkv.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/cmake/libkv.pc" DESTINATION "${KV_PKGCONFIG_DIR}" COMPONENT dev)

# ---- Man pages and copyright files ------------------------------------------
include(${CMAKE_CURRENT_LIST_DIR}/KvManPages.cmake)

# Each package's doc directory: the copyright file and the changelog
# (compressed, as Debian wants it); the plug-in's package also tells lintian
# that its .dsp files are firmware images.
add_custom_command(OUTPUT "${PROJECT_BINARY_DIR}/changelog.gz"
  COMMAND ${KV_GZIP} -9 -n -c "${PROJECT_SOURCE_DIR}/packaging/changelog" > "${PROJECT_BINARY_DIR}/changelog.gz"
  DEPENDS "${PROJECT_SOURCE_DIR}/packaging/changelog")
add_custom_target(changelog ALL DEPENDS "${PROJECT_BINARY_DIR}/changelog.gz")
foreach(package libkv kvoam libkv-dev)
  set(component ${package})
  if(package STREQUAL "libkv-dev")
    set(component dev)
  endif()
  install(FILES "${PROJECT_SOURCE_DIR}/packaging/copyright"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" RENAME copyright COMPONENT ${component})
  install(FILES "${PROJECT_BINARY_DIR}/changelog.gz"
    DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${package}" COMPONENT ${component})
endforeach()
install(FILES "${PROJECT_SOURCE_DIR}/packaging/lintian/libkv"
  DESTINATION "${CMAKE_INSTALL_DATADIR}/lintian/overrides" COMPONENT libkv)

# Everything the install rules take, without the tests and benchmarks.
add_custom_target(installables DEPENDS kv kvdev zel tsi kvd kvoam manpages changelog)

include(${CMAKE_CURRENT_LIST_DIR}/KvPackages.cmake)

if(KV_TESTS)
  # Installs into a scratch prefix and runs the installed kvoam from there.
  add_test(NAME install_runs_from_any_prefix
    COMMAND ${CMAKE_COMMAND}
      -DBUILD=${PROJECT_BINARY_DIR}
      -DPREFIX=${PROJECT_BINARY_DIR}/install-check
      -DVERSION=${PROJECT_VERSION}
      -DPLUGIN_DIR=${KV_PLUGIN_DIR}
      -DDATA_DIR=${KV_DATA_DIR}
      -DMAP=${PROJECT_SOURCE_DIR}/api/oam/boardplugin/kvplugin/libkv.map
      -P ${CMAKE_CURRENT_LIST_DIR}/KvCheckInstall.cmake)
  set_tests_properties(install_runs_from_any_prefix PROPERTIES LABELS unit)
endif()
