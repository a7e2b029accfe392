# Installs one man page, run by `cmake --install` (and CPack): fills in the
# paths of the tree being installed (KV_PAGE_PATHS: NAME PATH pairs, each
# path relative to the prefix or absolute) and writes the page compressed
# (gzip -n: no time stamp) into KV_PAGE_DIR under the prefix, below DESTDIR.
# The page names the tree where it will be used, so DESTDIR is left out of it.
function(kv_installed_path out path)
  if(IS_ABSOLUTE "${path}")
    set(${out} "${path}" PARENT_SCOPE)
  else()
    set(${out} "${CMAKE_INSTALL_PREFIX}/${path}" PARENT_SCOPE)
  endif()
endfunction()

while(KV_PAGE_PATHS)
  list(POP_FRONT KV_PAGE_PATHS name path)
  kv_installed_path(${name} "${path}")
endwhile()
kv_installed_path(directory "${KV_PAGE_DIR}")
get_filename_component(page "${KV_PAGE_TEMPLATE}" NAME_WLE)
set(target "$ENV{DESTDIR}${directory}/${page}")
message(STATUS "Installing: ${target}.gz")
file(READ "${KV_PAGE_TEMPLATE}" text)
string(CONFIGURE "${text}" text @ONLY)
file(WRITE "${target}" "${text}")
execute_process(COMMAND "${KV_GZIP}" -9 -n -f "${target}" RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "gzip failed on ${target}")
endif()
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}.gz")
