# Installs the client into a fresh prefix and asks find_package for it at
# versions around the installed one. While the major is 0 a minor version
# may break the API, so only the same minor is accepted; from 1.0 on, any
# older one of the same major. A newer version is never accepted.
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}" --component client
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
string(REPLACE "." ";" parts "${VERSION}")
list(GET parts 0 major)
list(GET parts 1 minor)
math(EXPR next_minor "${minor} + 1")
math(EXPR next_major "${major} + 1")
# version:found, the failures first: a found package stays found.
set(requests "${major}.${next_minor}:0" "${next_major}.0:0")
if(minor GREATER 0)
  math(EXPR last_minor "${minor} - 1")
  if(major EQUAL 0)
    list(APPEND requests "${major}.${last_minor}:0")
  else()
    list(APPEND requests "${major}.${last_minor}:1")
  endif()
endif()
list(APPEND requests "${major}.${minor}:1" "${VERSION}:1")
set(app "${WORK_DIR}/app")
file(WRITE "${app}/CMakeLists.txt" "
cmake_minimum_required(VERSION 3.20)
project(package_version_probe C)
foreach(request IN ITEMS ${requests})
  string(REPLACE \":\" \";\" request \"\${request}\")
  list(GET request 0 version)
  list(GET request 1 expected)
  unset(Palisade_DIR CACHE)
  find_package(Palisade \${version} QUIET)
  if(NOT Palisade_FOUND EQUAL expected)
    message(SEND_ERROR \"find_package(Palisade \${version}) found: \${Palisade_FOUND}, expected \${expected}\")
  endif()
endforeach()
")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${app}" -B "${app}/build" -G "${GENERATOR}"
                        "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_C_COMPILER=${CC}"
                        "-DCMAKE_PREFIX_PATH=${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET ERROR_VARIABLE errors)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "the installed ${VERSION} package:\n${errors}")
endif()
