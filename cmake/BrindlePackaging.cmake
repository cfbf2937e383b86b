# SPDX-License-Identifier: MIT
# Debian packages of the install components, made by `cpack -G DEB` (or `make package`) in
# the build directory:
#   libbrindle1     the shared library (component runtime), with a shlibs file, so that
#                   programs built against it depend on libbrindle1 (>= this version);
#   libbrindle-dev  headers, libbrindle.so, CMake package and pkg-config file (component dev),
#                   for exactly this version of libbrindle1;
#   brindle-tools   the brindle tool and the chat example (component tools).
# The system libraries each package needs are found by dpkg-shlibdeps (Debian package
# dpkg-dev), which CPack runs with file and readelf.
set(CPACK_PACKAGE_NAME brindle)
set(CPACK_PACKAGE_VENDOR "The Brindle authors")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Each package's description: its synopsis line, then the text.
set(BRINDLE_SYNOPSIS "C++ class library for networked desktop applications")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime dev)
if(BRINDLE_BUILD_TOOLS OR BRINDLE_BUILD_EXAMPLES)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(BRINDLE_PACKAGE_MAINTAINER "${CPACK_PACKAGE_VENDOR}" CACHE STRING
    "Maintainer field of the Debian packages, as \"Name <address>\"")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRINDLE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps finds libbrindle.so.1 in the build tree; the dependency on the package that
# holds it is given below, as its shlibs file would give it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR})
set(BRINDLE_RUNTIME_PACKAGE libbrindle${PROJECT_VERSION_MAJOR})

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${BRINDLE_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
string(CONCAT CPACK_DEBIAN_RUNTIME_DESCRIPTION
    "${BRINDLE_SYNOPSIS}\n"
    "Containers and strings, a zero-copy binary store format, streams and a named-blob\n"
    "set, a single-file block database with crash recovery and compaction, locks,\n"
    "threads and a clock, a registry of thread-safe shared objects, a timer queue and a\n"
    "threaded TCP/UDP socket manager, in one shared library.")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libbrindle-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${BRINDLE_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
string(CONCAT CPACK_DEBIAN_DEV_DESCRIPTION
    "${BRINDLE_SYNOPSIS} (development files)\n"
    "Headers, the CMake package Brindle (target Brindle::brindle) and the pkg-config\n"
    "file brindle.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME brindle-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${BRINDLE_RUNTIME_PACKAGE} (>= ${PROJECT_VERSION})")
string(CONCAT CPACK_DEBIAN_TOOLS_DESCRIPTION
    "Programs built on the Brindle library\n"
    "brindle looks into block files, flattened stores and blob sets; brindle-chat is a\n"
    "small chat server and its clients.")

include(CPack)
