# SPDX-License-Identifier: MIT
# The optional parts of the build (tests, benchmarks, fuzz targets) and how each decides
# whether it is built.

# Declares the cache option `option` for an optional part: AUTO builds the part when what it
# needs is found, ON requires it, OFF leaves it out. The default is AUTO for a build of
# Brindle itself and OFF when another project takes Brindle in with add_subdirectory. Any
# true or false value CMake knows counts as ON or OFF.
function(brindle_part_option option help)
  if(BRINDLE_TOP_LEVEL)
    set(default AUTO)
  else()
    set(default OFF)
  endif()
  set(${option} ${default} CACHE STRING "${help}: AUTO (when what it needs is found), ON or OFF")
  set_property(CACHE ${option} PROPERTY STRINGS AUTO ON OFF)
  string(TOUPPER "${${option}}" value)
  if(NOT value STREQUAL "AUTO")
    if(value)
      set(value ON)
    else()
      set(value OFF)
    endif()
  endif()
  set(${option} ${value} PARENT_SCOPE)
endfunction()

# Sets `out` to whether `part` is built, given the if() condition in the remaining arguments,
# which tells whether what the part needs was found. When it was not, `option` AUTO prints
# one line saying what is missing (`needs`: the Debian packages that bring it), and ON stops
# with an error saying the same. `out` is false when `option` is OFF.
function(brindle_part_found out option part needs)
  if(${option} STREQUAL "OFF")
    set(${out} FALSE PARENT_SCOPE)
  elseif(${ARGN})
    set(${out} TRUE PARENT_SCOPE)
  elseif(${option} STREQUAL "ON")
    message(FATAL_ERROR "${option} is ON, but building ${part} needs ${needs}")
  else()
    message(STATUS "Brindle: not building ${part}: needs ${needs}")
    set(${out} FALSE PARENT_SCOPE)
  endif()
endfunction()
