# Writes a Task Scheduler definition as Task Scheduler itself exports one: UTF-16 with a
# byte-order mark, and Windows line ends. schtasks /create /xml reads that form.
#   cmake -DSOURCE=task.xml -DTARGET=task-utf16.xml -P task_definition.cmake
configure_file(${SOURCE} ${TARGET}.crlf @ONLY NEWLINE_STYLE CRLF)
# glibc's iconv writes "UTF-16" with a byte-order mark, in the machine's byte order: little-endian
# on every machine the project builds on, as Windows expects.
execute_process(COMMAND iconv -f UTF-8 -t UTF-16 ${TARGET}.crlf OUTPUT_FILE ${TARGET} RESULT_VARIABLE result)
file(REMOVE ${TARGET}.crlf)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "iconv could not convert ${SOURCE} to UTF-16")
endif()
