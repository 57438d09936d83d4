# Run by `cmake --install`. The helper goes where an application bundle keeps
# its helper tools when the prefix is a bundle (Foo.app → Contents/Helpers):
# outside Contents/MacOS it keeps its own embedded Info.plist instead of
# taking the host's. Otherwise to bin/, with palisade-sim and
# palisade-doctor where they are built (an application's tests drive the
# one, a person runs the other; a bundle ships neither); the license goes
# beside them. Decided at install time, since --prefix may name the
# bundle only then.
if(CMAKE_INSTALL_PREFIX MATCHES "\\.app/?$")
  set(_bin "Contents/Helpers")
  set(_doc "Contents/Resources")
else()
  set(_bin "bin")
  set(_doc "share/doc/palisade")
endif()
file(INSTALL "${PALISADE_EXECUTABLE}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${_bin}" USE_SOURCE_PERMISSIONS)
file(INSTALL "${PALISADE_LICENSE}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${_doc}")
foreach(tool IN ITEMS "${PALISADE_SIM_EXECUTABLE}" "${PALISADE_DOCTOR_EXECUTABLE}")
  if(tool AND _bin STREQUAL "bin")
    file(INSTALL "${tool}" DESTINATION "${CMAKE_INSTALL_PREFIX}/bin" USE_SOURCE_PERMISSIONS)
  endif()
endforeach()
