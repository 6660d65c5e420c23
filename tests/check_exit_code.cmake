# Runs kestrum.exe under Wine from the Linux side with a pipe name Windows refuses: the whole
# output must be the awaiting message and the failure, and the exit code -1 must reach Linux
# as 255.
execute_process(COMMAND ${RUNNER} ${EXECUTABLE} "C:\\x" "Out%ld.ps"
                OUTPUT_VARIABLE output RESULT_VARIABLE result TIMEOUT ${TIMEOUT})
set(expected "\nKestrum: Awaiting next printer connection on C:\\x\nCreateNamedPipe failed, GLE=123.\n")
if(NOT result STREQUAL "255")
    message(FATAL_ERROR "exit code ${result}, expected 255")
endif()
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "output was [${output}], expected [${expected}]")
endif()
