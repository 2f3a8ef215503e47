# find_package(loric) gives the imported target loric::loric: libloric and its header loric.h.
include("${CMAKE_CURRENT_LIST_DIR}/loricTargets.cmake")
