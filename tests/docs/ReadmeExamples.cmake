# SPDX-License-Identifier: MIT
# Every ```cpp block of README.md is a whole program: each is written to the build tree, built
# against the library with the project's warnings and run as a test, so that the README's
# examples cannot go stale. Editing the README reconfigures.
set(readme ${PROJECT_SOURCE_DIR}/README.md)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${readme})
file(READ ${readme} rest)
set(number 0)
while(TRUE)
  string(FIND "${rest}" "```cpp\n" start)
  if(start EQUAL -1)
    break()
  endif()
  math(EXPR start "${start} + 7")
  string(SUBSTRING "${rest}" ${start} -1 rest)
  string(FIND "${rest}" "```" end)
  string(SUBSTRING "${rest}" 0 ${end} code)
  math(EXPR number "${number} + 1")
  set(source ${CMAKE_CURRENT_BINARY_DIR}/readme/example${number}.cpp)
  file(CONFIGURE OUTPUT ${source} CONTENT "${code}" @ONLY)
  add_executable(readme_example${number} ${source})
  target_link_libraries(readme_example${number} PRIVATE brindle brindle_flags)
  add_test(NAME readme.Example${number} COMMAND readme_example${number})
endwhile()
