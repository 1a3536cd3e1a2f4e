# cmake -DNM=<nm> -DLIBRARY=<libkorvane.so> -DEXPECTED=<korvane_exports.txt> -P this-file
#
# Passes when the shared library's dynamic symbol table defines exactly the names listed in
# EXPECTED: no export missing, and nothing else leaking out (internal C++ symbols, or the
# statically linked runtime's).
foreach(var NM LIBRARY EXPECTED)
    if(NOT DEFINED ${var})
        message(FATAL_ERROR "check_so_exports: ${var} is not set")
    endif()
endforeach()

file(STRINGS "${EXPECTED}" expected REGEX "^[A-Za-z_][A-Za-z0-9_]*$")
list(SORT expected)

execute_process(COMMAND "${NM}" -D --defined-only "${LIBRARY}"
                OUTPUT_VARIABLE listing ERROR_VARIABLE errors RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${NM} -D --defined-only ${LIBRARY} failed (${status}): ${errors}")
endif()

set(actual "")
string(REPLACE "\n" ";" lines "${listing}")
foreach(line IN LISTS lines)
    # "<address> <type> <name>[@<version>]"
    if(line MATCHES "^[0-9a-fA-F]+ [A-Za-z] ([^@]+)")
        list(APPEND actual "${CMAKE_MATCH_1}")
    endif()
endforeach()
list(SORT actual)

set(missing ${expected})
list(REMOVE_ITEM missing ${actual})
set(extra ${actual})
list(REMOVE_ITEM extra ${expected})
list(LENGTH expected expected_count)
list(LENGTH actual actual_count)
if(missing OR extra)
    message(FATAL_ERROR "${LIBRARY}: ${actual_count} dynamic symbols, ${expected_count} expected\n"
                        "  missing: ${missing}\n  not in the list: ${extra}")
endif()
message(STATUS "${LIBRARY}: exactly the ${expected_count} exports of ${EXPECTED}")
