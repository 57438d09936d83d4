# Run by `cmake --install`. The helper goes where an application bundle keeps
# its helpers when the prefix is a bundle (Foo.app → Contents/MacOS), and to
# bin/ otherwise; the license goes beside it. Decided at install time, since
# --prefix may name the bundle only then.
if(CMAKE_INSTALL_PREFIX MATCHES "\\.app/?$")
  set(_bin "Contents/MacOS")
  set(_doc "Contents/Resources")
else()
  set(_bin "bin")
  set(_doc "share/doc/palisade")
endif()
file(INSTALL "${PALISADE_EXECUTABLE}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${_bin}" USE_SOURCE_PERMISSIONS)
file(INSTALL "${PALISADE_LICENSE}" DESTINATION "${CMAKE_INSTALL_PREFIX}/${_doc}")
