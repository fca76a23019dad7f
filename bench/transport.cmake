if(TARGET midi_sim AND TARGET bamgen AND TARGET kestrune-midi-unit-sim)
  kestrune_bench(midi_transfer_bench ${CMAKE_CURRENT_SOURCE_DIR}/midi_transfer_bench.cpp updates bamgen midi_sim)
  target_compile_definitions(midi_transfer_bench PRIVATE
                             KESTRUNE_MIDI_UNIT_SIM="$<TARGET_FILE:kestrune-midi-unit-sim>")
  add_dependencies(midi_transfer_bench kestrune-midi-unit-sim)
endif()
