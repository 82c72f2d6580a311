# Lists the test functions of a Qt Test program (EXE -functions) and writes one
# add_test() per function into OUT.
execute_process(
    COMMAND "${CMAKE_COMMAND}" -E env QT_QPA_PLATFORM=offscreen "${EXE}" -functions
    OUTPUT_VARIABLE listing
    RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "${EXE} -functions failed (${status})")
endif()
string(REPLACE "\n" ";" lines "${listing}")
set(content "")
set(count 0)
foreach(line IN LISTS lines)
    if(line MATCHES "^([A-Za-z_][A-Za-z0-9_]*)\\(\\)$")
        set(fn "${CMAKE_MATCH_1}")
        set(test "${NAME}.${fn}")
        string(APPEND content "add_test(\"${test}\" \"${EXE}\" \"${fn}\")\n")
        string(APPEND content "set_tests_properties(\"${test}\" PROPERTIES"
            " ENVIRONMENT \"QT_QPA_PLATFORM=offscreen\""
            " TIMEOUT ${TIMEOUT}"
            " SKIP_REGULAR_EXPRESSION \"SKIP   :\"")
        if(LABELS)
            string(APPEND content " LABELS \"${LABELS}\"")
        endif()
        if(RESOURCE_LOCK)
            string(APPEND content " RESOURCE_LOCK \"${RESOURCE_LOCK}\"")
        endif()
        string(APPEND content ")\n")
        math(EXPR count "${count} + 1")
    endif()
endforeach()
if(count EQUAL 0)
    message(FATAL_ERROR "${EXE} lists no test functions")
endif()
file(WRITE "${OUT}" "${content}")
