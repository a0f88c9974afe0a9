file(REMOVE_RECURSE
  "CMakeFiles/talvora_pulse.dir/pulse_engine.cpp.o"
  "CMakeFiles/talvora_pulse.dir/pulse_engine.cpp.o.d"
  "libtalvora_pulse.a"
  "libtalvora_pulse.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_pulse.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
