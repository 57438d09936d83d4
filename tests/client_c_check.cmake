# Installs the build into a fresh prefix, compiles client_c_check.c against
# the installed header with `pkg-config --cflags --libs palisade-client`, and
# runs it on palisade-sim.
cmake_minimum_required(VERSION 3.20)
file(REMOVE_RECURSE "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}"
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
find_program(PKG_CONFIG pkg-config)
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is missing (Debian: apt-get install pkg-config)")
endif()
set(ENV{PKG_CONFIG_PATH} "${prefix}/lib/pkgconfig")
execute_process(COMMAND "${PKG_CONFIG}" --cflags --libs palisade-client
                OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CFLAGS}")
execute_process(COMMAND "${CC}" -std=c11 -Wall -Wextra -Werror ${extra} "${SOURCE}"
                        -o "${WORK_DIR}/client_c_check" ${flags} -pthread "-Wl,-rpath,${prefix}/lib"
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${WORK_DIR}/client_c_check" "${SIM}" COMMAND_ERROR_IS_FATAL ANY)
