kestrune_bench(serial_latency_bench ${CMAKE_CURRENT_SOURCE_DIR}/serial_latency_bench.cpp serial platform util
               benchmark::benchmark)
