# SPDX-License-Identifier: MIT
# Builds and runs a host that includes <brindle/brindle.h> and Xlib's headers in both orders,
# with the project's warnings as errors.
include(${CMAKE_CURRENT_LIST_DIR}/HostChecks.cmake)
file(REMOVE_RECURSE ${WORK_DIR})
file(WRITE ${WORK_DIR}/probe.cpp "#include <X11/Xlib.h>\nint main() { return XDisplayName(0) == 0; }\n")
execute_process(COMMAND ${CXX} ${WORK_DIR}/probe.cpp -lX11 -o ${WORK_DIR}/probe
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
if(NOT result EQUAL 0)
  message("SKIPPED: building with Xlib needs the Debian package libx11-dev")
  return()
endif()
get_filename_component(libdir ${LIBRARY} DIRECTORY)
run(${CXX} -std=c++17 -Wall -Wextra -Wpedantic -Werror -I${INCLUDE_DIR}
    ${CMAKE_CURRENT_LIST_DIR}/xlib/xlib_first.cpp ${CMAKE_CURRENT_LIST_DIR}/xlib/brindle_first.cpp
    ${LIBRARY} -Wl,-rpath,${libdir} -lX11 -o ${WORK_DIR}/xlib-host)
run_expecting("xlib host ok" ${WORK_DIR}/xlib-host)
