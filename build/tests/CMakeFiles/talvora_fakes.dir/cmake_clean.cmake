file(REMOVE_RECURSE
  "CMakeFiles/talvora_fakes.dir/fakes/fake_platform.cpp.o"
  "CMakeFiles/talvora_fakes.dir/fakes/fake_platform.cpp.o.d"
  "libtalvora_fakes.a"
  "libtalvora_fakes.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_fakes.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
