# SPDX-License-Identifier: MIT
# Installs the build tree into a scratch prefix, then builds and runs a small host program
# against it twice: once through find_package(Brindle), once through pkg-config.
file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

# The brindle tool and the chat example, found where they were installed and finding the
# library beside them.
run(${prefix}/bin/brindle --version)
if(NOT run_output MATCHES "^brindle [0-9]")
  message(FATAL_ERROR "the installed brindle tool printed: ${run_output}")
endif()
run(${prefix}/bin/chat --help)
if(NOT run_output MATCHES "^usage: chat serve")
  message(FATAL_ERROR "the installed chat example printed: ${run_output}")
endif()

# Through the CMake package.
run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/host -B ${WORK_DIR}/cmake-host
    -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake-host)
run(${WORK_DIR}/cmake-host/host)
if(NOT run_output MATCHES "host ok")
  message(FATAL_ERROR "find_package host printed: ${run_output}")
endif()

# Through pkg-config.
find_program(PKG_CONFIG pkg-config REQUIRED)
set(ENV{PKG_CONFIG_PATH} ${prefix}/lib/pkgconfig)
file(GLOB pc_files ${prefix}/lib*/pkgconfig/brindle.pc ${prefix}/lib/*/pkgconfig/brindle.pc)
if(NOT pc_files)
  message(FATAL_ERROR "brindle.pc was not installed")
endif()
list(GET pc_files 0 pc_file)
get_filename_component(pc_dir ${pc_file} DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
run(${PKG_CONFIG} --cflags --libs brindle)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} -std=c++17 ${SOURCE_DIR}/host/host.cpp ${flags} -o ${WORK_DIR}/pkg-host)
get_filename_component(libdir ${pc_dir} DIRECTORY)
set(ENV{LD_LIBRARY_PATH} ${libdir})
run(${WORK_DIR}/pkg-host)
if(NOT run_output MATCHES "host ok")
  message(FATAL_ERROR "pkg-config host printed: ${run_output}")
endif()
