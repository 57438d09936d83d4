# find_package(Palisade): Palisade::client (the shared client library) and
# Palisade::client_static, which brings what the archive needs into the
# application's link: the thread library and the C++ runtime.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/PalisadeTargets.cmake")
