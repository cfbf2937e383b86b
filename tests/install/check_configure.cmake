# SPDX-License-Identifier: MIT
# Configures the source tree as a new user would: on its own where the packages that the
# optional parts need are missing (simulated with CMAKE_DISABLE_FIND_PACKAGE_*, and a failed
# libFuzzer check), and as a subproject of a host, which must build only the library.
include(${CMAKE_CURRENT_LIST_DIR}/HostChecks.cmake)
file(REMOVE_RECURSE ${WORK_DIR})

# Configures `source` in `work_dir` with the given options; true in configured when it
# succeeds, its output in configure_output.
function(configure source work_dir)
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${source} -B ${work_dir}
                  -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_C_COMPILER=${CC} ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(REGEX MATCHALL "Brindle: [^\n]*" lines "${out}")
  set(configure_output "${out}" PARENT_SCOPE)
  set(skipped "${lines}" PARENT_SCOPE)
  if(result EQUAL 0)
    set(configured TRUE PARENT_SCOPE)
  else()
    set(configured FALSE PARENT_SCOPE)
  endif()
endfunction()

# Stops the check unless the skipped parts are exactly `expected`, one line each.
function(expect_skipped)
  if(NOT skipped STREQUAL ARGN)
    message(FATAL_ERROR "expected the lines:\n${ARGN}\nconfiguring printed:\n${configure_output}")
  endif()
endfunction()

set(tests_line "Brindle: not building the tests: needs the Debian packages libgtest-dev libgmock-dev")
set(bench_line "Brindle: not building the benchmarks: needs the Debian package libbenchmark-dev")
set(fuzz_line "Brindle: not building the fuzz targets: needs clang as the compiler (CC=clang CXX=clang++) and the Debian packages clang libclang-rt-14-dev")
set(baselines_line "Brindle: not building the block file benchmark: needs the Debian packages libsqlite3-dev liblmdb-dev pkg-config")

# Without GoogleTest, Google Benchmark and libFuzzer: the library, the tool and the examples.
configure(${SOURCE_DIR} ${WORK_DIR}/bare -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON -DBRINDLE_HAVE_LIBFUZZER=OFF)
if(NOT configured)
  message(FATAL_ERROR "configuring without the optional packages failed:\n${configure_output}")
endif()
expect_skipped("${tests_line};${bench_line};${fuzz_line}")
foreach(part tools examples)
  if(NOT EXISTS ${WORK_DIR}/bare/${part})
    message(FATAL_ERROR "configuring without the optional packages left out ${part}")
  endif()
endforeach()

# Google Benchmark without the libraries the block file benchmark compares against.
configure(${SOURCE_DIR} ${WORK_DIR}/bench -DBRINDLE_BUILD_TESTS=OFF -DBRINDLE_BUILD_FUZZ=OFF
          -DCMAKE_DISABLE_FIND_PACKAGE_SQLite3=ON -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON)
expect_skipped("${baselines_line}")
if(NOT configured OR NOT EXISTS ${WORK_DIR}/bench/bench)
  message(FATAL_ERROR "the other benchmarks were left out:\n${configure_output}")
endif()

# A part asked for with ON is an error when what it needs is missing.
configure(${SOURCE_DIR} ${WORK_DIR}/forced -DBRINDLE_BUILD_TESTS=ON
          -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON)
string(REGEX REPLACE "[ \n]+" " " said "${configure_output}")  # CMake wraps errors
if(configured OR NOT said MATCHES "BRINDLE_BUILD_TESTS is ON, but building the tests needs the Debian packages libgtest-dev libgmock-dev")
  message(FATAL_ERROR "a forced part without its packages configured:\n${configure_output}")
endif()

# As a subproject: nothing optional is looked for, and building everything builds the
# library and the host's program only.
configure(${CMAKE_CURRENT_LIST_DIR}/subproject ${WORK_DIR}/subproject
          -DBRINDLE_SOURCE_DIR=${SOURCE_DIR})
expect_skipped("")
if(NOT configured)
  message(FATAL_ERROR "configuring as a subproject failed:\n${configure_output}")
endif()
run(${CMAKE_COMMAND} --build ${WORK_DIR}/subproject -j 2)
run_expecting("host ok" ${WORK_DIR}/subproject/host)
file(GLOB_RECURSE built RELATIVE ${WORK_DIR}/subproject ${WORK_DIR}/subproject/*.so*
     ${WORK_DIR}/subproject/*.a)
if(NOT built STREQUAL "brindle/libbrindle.so;brindle/libbrindle.so.1;brindle/libbrindle.so.${VERSION}")
  message(FATAL_ERROR "as a subproject, the build made: ${built}")
endif()
foreach(part tests bench fuzz tools examples)
  if(EXISTS ${WORK_DIR}/subproject/brindle/${part})
    message(FATAL_ERROR "as a subproject, Brindle took in ${part}/")
  endif()
endforeach()
