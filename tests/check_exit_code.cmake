# Runs kestrum.exe under Wine from the Linux side with a pipe name Windows refuses: the whole
# output must be the awaiting message and the failure, as the tests' printer.exe beside it
# writes them, and the exit code -1 must reach Linux as 255.
execute_process(COMMAND ${RUNNER} ${EXECUTABLE} "C:\\x" "Out%ld.ps"
                OUTPUT_VARIABLE output RESULT_VARIABLE result TIMEOUT ${TIMEOUT})
get_filename_component(folder ${EXECUTABLE} DIRECTORY)
execute_process(COMMAND ${RUNNER} ${folder}/printer.exe --expected awaiting "C:\\x" pipe-refused 123
                OUTPUT_VARIABLE expected TIMEOUT ${TIMEOUT})
if(NOT result STREQUAL "255")
    message(FATAL_ERROR "exit code ${result}, expected 255")
endif()
if(NOT output STREQUAL expected)
    message(FATAL_ERROR "output was [${output}], expected [${expected}]")
endif()
