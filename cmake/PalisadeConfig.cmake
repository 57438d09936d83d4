# find_package(Palisade): Palisade::client (the shared client library) and
# Palisade::client_static. The static one needs the thread library.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/PalisadeTargets.cmake")
