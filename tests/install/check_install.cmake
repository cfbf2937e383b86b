# SPDX-License-Identifier: MIT
# Installs the build tree into a scratch prefix, then builds and runs a small host program
# against it (HostChecks.cmake).
include(${CMAKE_CURRENT_LIST_DIR}/HostChecks.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${WORK_DIR}/prefix)
check_hosts(${WORK_DIR}/prefix ${WORK_DIR})
if(pkg_config_missing)
  message("SKIPPED: the pkg-config host; it needs the Debian package pkg-config")
endif()
