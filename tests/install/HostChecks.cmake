# SPDX-License-Identifier: MIT
# What the install checks share: running a command, and building and running a small host
# program against an installed tree as a host would, through find_package(Brindle) and
# through pkg-config.

# Runs the command; stops the check with its output when it fails. Its output is left in
# run_output.
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}\n${out}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

# Runs the command and stops the check unless its output matches `pattern`.
function(run_expecting pattern)
  run(${ARGN})
  if(NOT run_output MATCHES "${pattern}")
    message(FATAL_ERROR "${ARGN} printed:\n${run_output}")
  endif()
endfunction()

# Builds host/host.cpp against the tree installed under `prefix` and runs it, in `work_dir`:
# through the CMake package; through pkg-config with the library's directory as the
# program's run path; and through pkg-config alone, run with LD_LIBRARY_PATH. Runs the
# installed PROGRAMS too, which find the library beside them. Sets pkg_config_missing in
# the caller when pkg-config is not installed, and then skips the pkg-config builds.
function(check_hosts prefix work_dir)
  set(host_dir ${CMAKE_CURRENT_LIST_DIR}/host)
  foreach(program ${PROGRAMS})
    run_expecting("^usage: ${program} " ${prefix}/bin/${program} --help)
  endforeach()

  run(${CMAKE_COMMAND} -S ${host_dir} -B ${work_dir}/cmake-host
      -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_CXX_COMPILER=${CXX})
  run(${CMAKE_COMMAND} --build ${work_dir}/cmake-host)
  run_expecting("host ok" ${work_dir}/cmake-host/host)

  find_program(PKG_CONFIG pkg-config)
  if(NOT PKG_CONFIG)
    set(pkg_config_missing TRUE PARENT_SCOPE)
    return()
  endif()
  file(GLOB pc_files ${prefix}/lib*/pkgconfig/brindle.pc ${prefix}/lib/*/pkgconfig/brindle.pc)
  if(NOT pc_files)
    message(FATAL_ERROR "brindle.pc was not installed under ${prefix}")
  endif()
  list(GET pc_files 0 pc_file)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --cflags --libs brindle)
  separate_arguments(flags UNIX_COMMAND "${run_output}")
  run(${PKG_CONFIG} --variable=libdir brindle)
  string(STRIP "${run_output}" libdir)
  run(${CXX} -std=c++17 ${host_dir}/host.cpp ${flags} -Wl,-rpath,${libdir}
      -o ${work_dir}/pkg-host-rpath)
  run_expecting("host ok" ${CMAKE_COMMAND} -E env --unset=LD_LIBRARY_PATH
                ${work_dir}/pkg-host-rpath)
  run(${CXX} -std=c++17 ${host_dir}/host.cpp ${flags} -o ${work_dir}/pkg-host)
  run_expecting("host ok" ${CMAKE_COMMAND} -E env LD_LIBRARY_PATH=${libdir} ${work_dir}/pkg-host)
endfunction()
