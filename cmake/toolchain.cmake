# Picks clang++ before project() runs: libdispatch's headers do not parse
# with g++. An explicit CMAKE_CXX_COMPILER or CXX wins.
if(NOT DEFINED CMAKE_CXX_COMPILER AND NOT DEFINED ENV{CXX} AND NOT CMAKE_HOST_APPLE)
  find_program(PALISADE_SWIFTC swiftc)
  set(_hints "")
  if(PALISADE_SWIFTC)
    get_filename_component(_swift_bin "${PALISADE_SWIFTC}" REALPATH)
    get_filename_component(_swift_bin "${_swift_bin}" DIRECTORY)
    list(APPEND _hints "${_swift_bin}")
  endif()
  if(PALISADE_SWIFT_TOOLCHAIN)
    list(APPEND _hints "${PALISADE_SWIFT_TOOLCHAIN}/usr/bin")
  endif()
  find_program(PALISADE_CLANGXX NAMES clang++ HINTS ${_hints})
  if(NOT PALISADE_CLANGXX)
    message(FATAL_ERROR
      "No clang++ found. libdispatch's headers need clang: install Debian's "
      "'clang' package, put a Swift toolchain's bin/ on PATH, or pass "
      "-DCMAKE_CXX_COMPILER=/path/to/clang++.")
  endif()
  set(CMAKE_CXX_COMPILER "${PALISADE_CLANGXX}" CACHE FILEPATH "C++ compiler")
  get_filename_component(_clang_dir "${PALISADE_CLANGXX}" DIRECTORY)
  if(NOT DEFINED CMAKE_C_COMPILER AND EXISTS "${_clang_dir}/clang")
    set(CMAKE_C_COMPILER "${_clang_dir}/clang" CACHE FILEPATH "C compiler")
  endif()
endif()
