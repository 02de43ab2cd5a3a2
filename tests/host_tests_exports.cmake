# Fails unless the shared library LIBRARY defines exactly one dynamic symbol: entryPointFunc.
# Run as: cmake -DNM=<nm> -DLIBRARY=<file> -P host_tests_exports.cmake
execute_process(COMMAND ${NM} -D --defined-only ${LIBRARY}
                OUTPUT_VARIABLE listing RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "nm failed on ${LIBRARY}")
endif()
string(REGEX MATCHALL "[^\n]+" lines "${listing}")
set(names "")
foreach(line IN LISTS lines)
    string(REGEX REPLACE "^.* " "" name "${line}")
    list(APPEND names "${name}")
endforeach()
if(NOT names STREQUAL "entryPointFunc")
    message(FATAL_ERROR "expected only entryPointFunc to be exported, found: ${names}")
endif()
