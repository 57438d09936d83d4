# Installs the build into a fresh prefix, compiles client_c_check.c against
# the installed header with `pkg-config --cflags --libs palisade-client`, and
# runs it on palisade-sim.
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                RESULT_VARIABLE result OUTPUT_QUIET)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "cmake --install into ${prefix} failed")
endif()

find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is missing (Debian: apt-get install pkg-config)")
endif()
set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs palisade-client
                RESULT_VARIABLE result OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "pkg-config does not find palisade-client in ${prefix}")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CFLAGS}")
execute_process(COMMAND "${CC}" -std=c11 -Wall -Wextra -Werror ${extra} "${SOURCE}"
                        -o "${WORK_DIR}/client_c_check" ${flags} -pthread
                RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "client_c_check.c does not build against the installed client")
endif()

set(ENV{LD_LIBRARY_PATH} "${prefix}/lib")
execute_process(COMMAND "${WORK_DIR}/client_c_check" "${SIM}" RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "client_c_check failed: ${result}")
endif()
