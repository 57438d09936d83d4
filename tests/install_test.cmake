# Installs the build into a plain prefix and into an application bundle, and
# checks that the helper and its license land where each layout wants them,
# and palisade-sim and palisade-doctor (where built) in the plain prefix only;
# and that the client's shared library exports its C API alone.
foreach(prefix IN ITEMS "${WORK_DIR}/usr" "${WORK_DIR}/Helper.app")
  file(REMOVE_RECURSE "${prefix}")
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                  RESULT_VARIABLE result OUTPUT_QUIET)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "cmake --install into ${prefix} failed")
  endif()
endforeach()
set(helpers usr/bin/palisade)
if(WITH_SIM)
  list(APPEND helpers usr/bin/palisade-sim)
endif()
set(tools "")
if(WITH_DOCTOR)
  list(APPEND tools usr/bin/palisade-doctor)  # not run: it engages a real helper
endif()
foreach(file IN LISTS helpers tools ITEMS usr/share/doc/palisade/LICENSE
                     Helper.app/Contents/Helpers/palisade Helper.app/Contents/Resources/LICENSE)
  if(NOT EXISTS "${WORK_DIR}/${file}")
    message(FATAL_ERROR "${file} was not installed")
  endif()
endforeach()
# The application links the client when it is built, and ships no test
# double or doctor: none of them in the bundle.
foreach(dir IN ITEMS bin Contents/MacOS lib include Contents/Helpers/palisade-sim
                    Contents/Helpers/palisade-doctor)
  if(EXISTS "${WORK_DIR}/Helper.app/${dir}")
    message(FATAL_ERROR "the bundle got ${dir}")
  endif()
endforeach()
# The installed helpers run where they were put: end of input, exit 0.
foreach(helper IN LISTS helpers)
  execute_process(COMMAND "${WORK_DIR}/${helper}" INPUT_FILE "${CMAKE_CURRENT_LIST_FILE}"
                  RESULT_VARIABLE result OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 20)
  if(NOT result EQUAL 0 OR NOT out STREQUAL "" OR NOT err STREQUAL "")
    message(FATAL_ERROR "installed ${helper}: status ${result}, output '${out}${err}'")
  endif()
endforeach()
# The installed shared library exports the functions its header declares and
# nothing else: no C++ library instantiation, nothing of the client's inside.
file(GLOB library "${WORK_DIR}/usr/lib/libpalisade-client.so" "${WORK_DIR}/usr/lib/libpalisade-client.dylib")
if(NOT library)
  message(FATAL_ERROR "the client's shared library was not installed")
endif()
if(CMAKE_HOST_APPLE)  # script mode knows the host only
  set(nm_flags -g -U -j)  # Apple's nm: external, defined, names only
else()
  set(nm_flags -D --defined-only --format=just-symbols)
endif()
execute_process(COMMAND "${NM}" ${nm_flags} "${library}" RESULT_VARIABLE result OUTPUT_VARIABLE exported)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "${NM} could not read ${library}")
endif()
if(CMAKE_HOST_APPLE)
  string(REGEX REPLACE "(^|\n)_" "\\1" exported "${exported}")  # Mach-O's leading underscore
endif()
string(REGEX MATCHALL "[^\n]+" exported "${exported}")
file(READ "${WORK_DIR}/usr/include/palisade/client.h" header)
string(REGEX MATCHALL "palisade_[a-z_]+\\(" declared "${header}")
string(REPLACE "(" "" declared "${declared}")
list(REMOVE_DUPLICATES declared)  # comments name functions too
list(SORT exported)
list(SORT declared)
if(NOT exported STREQUAL declared)
  message(FATAL_ERROR "the client library exports\n  ${exported}\nnot what its header declares\n  ${declared}")
endif()
