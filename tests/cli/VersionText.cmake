# morfw's version is the project's: --version prints exactly "morfw VERSION", and the --log
# file's header and the --json start object carry the same number, also on an upload that ends
# early (an empty image set).
# Run by ctest: cmake -DMORFW=... -DVERSION=... -DWORK=... -P VersionText.cmake
file(REMOVE_RECURSE ${WORK})
file(MAKE_DIRECTORY ${WORK}/empty)

execute_process(COMMAND ${MORFW} --version
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out STREQUAL "morfw ${VERSION}\n" OR NOT err STREQUAL "")
  message(FATAL_ERROR "morfw --version gave ${rc}, '${out}' '${err}'; expected 'morfw ${VERSION}'")
endif()

execute_process(COMMAND ${MORFW} upload --port sim: --images ${WORK}/empty --log ${WORK}/up.log
                        --json
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 4)
  message(FATAL_ERROR "an upload with an empty image set gave ${rc}:\n${out}${err}")
endif()
file(STRINGS ${WORK}/up.log header LIMIT_COUNT 1)
string(FIND "${header}" "---- morfw ${VERSION}, " at)
if(NOT at EQUAL 0)
  message(FATAL_ERROR "the log file's header does not carry the version ${VERSION}: ${header}")
endif()
string(REGEX MATCH "\"version\":\"[^\"]*\"" json_version "${out}")
if(NOT json_version STREQUAL "\"version\":\"${VERSION}\"")
  message(FATAL_ERROR "the --json start object's version is '${json_version}':\n${out}")
endif()
file(REMOVE_RECURSE ${WORK})
