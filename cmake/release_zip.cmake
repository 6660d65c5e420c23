# Makes the release zip in the default build: the project's install rules into a fresh folder,
# every file of it into the zip, then ZIP.sha256. CPack, which `--target package` runs, would
# first build the whole tree again from inside this build.
#   cmake -DBUILD=build_folder -DFOLDER=staging_folder -DZIP=zip -P release_zip.cmake
file(REMOVE_RECURSE ${FOLDER})
execute_process(COMMAND ${CMAKE_COMMAND} --install ${BUILD} --prefix ${FOLDER}
                OUTPUT_QUIET RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "installing into ${FOLDER} failed: ${result}")
endif()
file(GLOB files RELATIVE ${FOLDER} ${FOLDER}/*)
list(SORT files)
file(REMOVE ${ZIP})
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf ${ZIP} --format=zip -- ${files}
                WORKING_DIRECTORY ${FOLDER} RESULT_VARIABLE result)
if(NOT result EQUAL 0)
    message(FATAL_ERROR "zipping ${FOLDER} into ${ZIP} failed: ${result}")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/write_sha256.cmake)
