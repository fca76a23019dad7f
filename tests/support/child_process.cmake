# SPDX-License-Identifier: MIT
# The child-process runner of the tests and the benchmarks: no GoogleTest in it, so that the
# benchmarks, built without the tests, link the same code.
include_guard(GLOBAL)
add_library(child_process STATIC ${CMAKE_CURRENT_LIST_DIR}/child_process.cpp)
target_include_directories(child_process PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(child_process PRIVATE kestrune_warnings)
