# Finds libdispatch and defines the imported target Dispatch::Dispatch.
# Order: the system (on Apple platforms it is part of libSystem), then the
# Swift toolchain located from swiftc on PATH or from PALISADE_SWIFT_TOOLCHAIN.
add_library(Dispatch::Dispatch INTERFACE IMPORTED)
if(APPLE)
  return()
endif()

include(${CMAKE_CURRENT_LIST_DIR}/swift_toolchain.cmake)

find_path(DISPATCH_INCLUDE_DIR dispatch/dispatch.h NO_CMAKE_PATH)
find_library(DISPATCH_LIBRARY dispatch)
find_library(BLOCKS_RUNTIME_LIBRARY BlocksRuntime)

if(NOT DISPATCH_INCLUDE_DIR OR NOT DISPATCH_LIBRARY)
  unset(DISPATCH_INCLUDE_DIR CACHE)
  unset(DISPATCH_LIBRARY CACHE)
  unset(BLOCKS_RUNTIME_LIBRARY CACHE)
  palisade_swift_toolchain(_root)
  if(_root)
    find_path(DISPATCH_INCLUDE_DIR dispatch/dispatch.h
              PATHS "${_root}/usr/lib/swift" NO_DEFAULT_PATH)
    find_library(DISPATCH_LIBRARY dispatch
                 PATHS "${_root}/usr/lib/swift/linux" NO_DEFAULT_PATH)
    find_library(BLOCKS_RUNTIME_LIBRARY BlocksRuntime
                 PATHS "${_root}/usr/lib/swift/linux" NO_DEFAULT_PATH)
  endif()
endif()

if(NOT DISPATCH_INCLUDE_DIR OR NOT DISPATCH_LIBRARY)
  message(FATAL_ERROR
    "libdispatch not found. Install it (Debian: libdispatch-dev), put a Swift "
    "toolchain's swiftc on PATH, or configure with "
    "-DPALISADE_SWIFT_TOOLCHAIN=/path/to/toolchain (the folder that holds usr/).")
endif()

message(STATUS "libdispatch: ${DISPATCH_LIBRARY}")
get_filename_component(DISPATCH_LIBRARY_DIR "${DISPATCH_LIBRARY}" DIRECTORY)
target_include_directories(Dispatch::Dispatch INTERFACE "${DISPATCH_INCLUDE_DIR}")
target_link_libraries(Dispatch::Dispatch INTERFACE "${DISPATCH_LIBRARY}")
if(BLOCKS_RUNTIME_LIBRARY)
  target_link_libraries(Dispatch::Dispatch INTERFACE "${BLOCKS_RUNTIME_LIBRARY}")
endif()
# Executables find the library where it was found, without LD_LIBRARY_PATH.
set(CMAKE_BUILD_RPATH "${DISPATCH_LIBRARY_DIR}")
set(CMAKE_INSTALL_RPATH "${DISPATCH_LIBRARY_DIR}")
