# Debian packages from the install components (scripts/package makes them,
# in a build directory of its own):
#   libkv      the plug-in, its device layer, the search path files, libkv(7)
#   kvoam      the shell, its private libraries, kvoam(1)
#   libkv-dev  the development kit
# Dependencies on shared libraries are computed (dpkg-shlibdeps); the ones
# the computation cannot see are declared: kvoam opens libkv.so with dlopen,
# and the kit's targets name the plug-in's device layer and kvoam's libraries.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME libkv)
set(CPACK_PACKAGE_VENDOR "The libkv developers")
# The maintainer, given at packaging time (scripts/package --maintainer).
set(KV_MAINTAINER "The libkv developers <maintainers@users.noreply.c-seed-b86cd6d8.example>" CACHE STRING
    "Maintainer of the Debian packages, as NAME <ADDRESS>")
set(CPACK_PACKAGE_CONTACT "${KV_MAINTAINER}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/cpack")
set(CPACK_STRIP_FILES ON)
set(CPACK_THREADS 0)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL libkv kvoam dev)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_LIBKV_PACKAGE_NAME libkv)
set(CPACK_COMPONENT_LIBKV_DESCRIPTION "board plug-in for the KV 7400 analog station boards
libkv.so is the plug-in that a board-management supervisor loads to
administer KV 7400 PCI and CompactPCI analog station boards: their keyword
tree, start and stop, line circuits, DSP firmware, H.100 clocking and
monitoring. The package holds the plug-in, its device layer, the shipped
search path (board configuration files, DSP images, coefficient files) and
the keyword reference libkv(7). The host provides the framework, the
portability library and the board driver library.")

set(CPACK_DEBIAN_KVOAM_PACKAGE_NAME kvoam)
set(CPACK_DEBIAN_KVOAM_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_KVOAM_PACKAGE_DEPENDS "libkv (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_KVOAM_DESCRIPTION "supervisor shell for the libkv board plug-in
kvoam loads libkv.so, stands in for its supervisor and runs commands that
call the plug-in's entry points, on emulated boards: from the command line,
a script, standard input, or as a demonstration. It carries its own copies
of the framework, the portability library and the emulated board driver
library in a private directory, where they never shadow a real driver.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkv-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkv (= ${PROJECT_VERSION}), kvoam (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEV_DESCRIPTION "development kit for supervisors of the libkv board plug-in
Declarations of the plug-in's entry points and of the supervisor calls (C99
and C++), the framework and portability headers, and the board driver
emulator with its control header, for building and testing a supervisor
without hardware. Comes with the CMake package libkv (imported targets
libkv::declarations, libkv::zel, libkv::tsi, libkv::kvdev, libkv::kvemu)
and the pkg-config file libkv.pc.")

include(CPack)
