# Installs the build into a plain prefix and into an application bundle, and
# checks that the helper and its license land where each layout wants them.
foreach(prefix IN ITEMS "${WORK_DIR}/usr" "${WORK_DIR}/Helper.app")
  file(REMOVE_RECURSE "${prefix}")
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install into ${prefix} failed")
  endif()
endforeach()
foreach(file IN ITEMS usr/bin/palisade usr/share/doc/palisade/LICENSE
                      Helper.app/Contents/Helpers/palisade Helper.app/Contents/Resources/LICENSE)
  if(NOT EXISTS "${WORK_DIR}/${file}")
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
# The application links the client when it is built: none of it in the bundle.
foreach(dir IN ITEMS bin Contents/MacOS lib include)
  if(EXISTS "${WORK_DIR}/Helper.app/${dir}")
    message(FATAL_ERROR "the bundle got a ${dir} folder")
  endif()
endforeach()
# The installed helper runs where it was put: end of input, exit 0.
execute_process(COMMAND "${WORK_DIR}/usr/bin/palisade" INPUT_FILE "${CMAKE_CURRENT_LIST_FILE}"
                RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
  message(FATAL_ERROR "installed helper: status ${result}, output '${out}${err}'")
endif()
