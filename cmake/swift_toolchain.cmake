# palisade_swift_toolchain(VAR): sets VAR to the root of the Swift toolchain
# (the folder holding usr/), from PALISADE_SWIFT_TOOLCHAIN or else from
# swiftc on PATH; empty when there is neither. Off Apple platforms it brings
# libdispatch and the open-source CoreFoundation.
set(PALISADE_SWIFT_TOOLCHAIN "" CACHE PATH
    "Root of a Swift toolchain (the folder holding usr/) whose libdispatch to use")

function(palisade_swift_toolchain var)
  set(root "${PALISADE_SWIFT_TOOLCHAIN}")
  if(NOT root)
    find_program(PALISADE_SWIFTC swiftc)
    if(PALISADE_SWIFTC)
      get_filename_component(swiftc "${PALISADE_SWIFTC}" REALPATH)
      get_filename_component(root "${swiftc}/../../.." ABSOLUTE)
    endif()
  endif()
  set(${var} "${root}" PARENT_SCOPE)
endfunction()
