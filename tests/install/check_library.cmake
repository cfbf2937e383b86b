# SPDX-License-Identifier: MIT
# Checks the shared library's shape: it exports no internal symbol (everything in namespace
# brindle stays hidden) and has no static initialisers, so loading it runs no code of ours.
find_program(NM nm REQUIRED)
execute_process(COMMAND ${NM} -DC --defined-only ${LIBRARY} OUTPUT_VARIABLE exported
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]*brindle::[^\n]*" internal "${exported}")
if(internal)
  message(FATAL_ERROR "internal symbols are exported:\n${internal}")
endif()
execute_process(COMMAND ${NM} -C ${LIBRARY} OUTPUT_VARIABLE all_symbols)
string(REGEX MATCHALL "[^\n]*_GLOBAL__sub_I[^\n]*" initialisers "${all_symbols}")
if(initialisers)
  message(FATAL_ERROR "the library has static initialisers:\n${initialisers}")
endif()
