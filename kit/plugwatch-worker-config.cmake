# CMake package of the installed worker kit: target plugwatch::plugwatch_worker.
include(CMakeFindDependencyMacro)
find_dependency(Threads)
include("${CMAKE_CURRENT_LIST_DIR}/plugwatch-worker-targets.cmake")
