if(TARGET sim)
  kestrune_bench(frame_throughput_bench ${CMAKE_CURRENT_SOURCE_DIR}/frame_throughput_bench.cpp protocol transport sim)
endif()
