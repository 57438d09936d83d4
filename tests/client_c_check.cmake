# Installs the build into a fresh prefix and builds client_c_check.c as an
# application would, from the installed files only: with pkg-config's flags
# and an rpath to its libdir (the shared library), and from a C-only CMake
# project linking Palisade::client_static. Each build runs on palisade-sim.
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
execute_process(COMMAND "${PKG_CONFIG}" --variable=libdir palisade-client
                OUTPUT_VARIABLE libdir OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
separate_arguments(flags UNIX_COMMAND "${flags}")
separate_arguments(extra UNIX_COMMAND "${CFLAGS}")
separate_arguments(dispatch UNIX_COMMAND "${DISPATCH_LIBS}")
# The loader does not search the prefix: the rpath is what finds the library.
execute_process(COMMAND "${CC}" -std=c11 -Wall -Wextra -Werror ${extra} "${SOURCE}"
                        -o "${WORK_DIR}/client_c_check" ${flags} "-Wl,-rpath,${libdir}" ${dispatch} -pthread
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${WORK_DIR}/client_c_check" "${SIM}" COMMAND_ERROR_IS_FATAL ANY)

# A project that enables C only links the static archive: the target itself
# must bring the C++ runtime, the thread library and libdispatch into the
# link.
set(app "${WORK_DIR}/static")
# ThreadSanitizer's runtime intercepts libdispatch, so under it even CMake's
# first test program links libdispatch.
set(sanitizer_links "")
if(CFLAGS MATCHES "sanitize=thread")
  set(sanitizer_links "-DCMAKE_EXE_LINKER_FLAGS=${DISPATCH_LIBS}")
endif()
file(WRITE "${app}/CMakeLists.txt" "
cmake_minimum_required(VERSION 3.20)
project(client_c_check C)
find_package(Palisade REQUIRED)
add_executable(client_c_check \"${SOURCE}\")
set_target_properties(client_c_check PROPERTIES C_STANDARD 11 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
target_compile_options(client_c_check PRIVATE -Wall -Wextra -Werror)
target_link_libraries(client_c_check PRIVATE Palisade::client_static)
")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${app}" -B "${app}/build" -G "${GENERATOR}"
                        "-DCMAKE_MAKE_PROGRAM=${MAKE_PROGRAM}" "-DCMAKE_C_COMPILER=${CC}"
                        "-DCMAKE_C_FLAGS=${CFLAGS}" "-DCMAKE_PREFIX_PATH=${prefix}" ${sanitizer_links}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${app}/build" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${app}/build/client_c_check" "${SIM}" COMMAND_ERROR_IS_FATAL ANY)
