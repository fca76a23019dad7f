kestrune_bench(wait_pumping_bench ${CMAKE_CURRENT_SOURCE_DIR}/wait_pumping_bench.cpp app platform)
