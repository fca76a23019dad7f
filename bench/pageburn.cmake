if(TARGET pageburn_lib AND TARGET kestrune-samba-sim)
  kestrune_bench(pageburn_page_bench ${CMAKE_CURRENT_SOURCE_DIR}/pageburn_page_bench.cpp pageburn_lib)
  # The simulated monitor runs as its own process, so the CPU figure is the client's alone.
  add_dependencies(pageburn_page_bench kestrune-samba-sim)
  target_compile_definitions(pageburn_page_bench PRIVATE
                             KESTRUNE_SAMBA_SIM_PATH="$<TARGET_FILE:kestrune-samba-sim>")
endif()
