if(TARGET romsend)
  # Starts the real romsend program and watches it from outside.
  kestrune_bench(romsend_window_bench ${CMAKE_CURRENT_SOURCE_DIR}/romsend_window_bench.cpp bamgen)
  add_dependencies(romsend_window_bench romsend)
  target_compile_definitions(romsend_window_bench PRIVATE KESTRUNE_ROMSEND_PATH="$<TARGET_FILE:romsend>")
endif()
