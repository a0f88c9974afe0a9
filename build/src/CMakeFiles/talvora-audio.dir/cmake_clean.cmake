file(REMOVE_RECURSE
  "../talvora-audio"
  "../talvora-audio.pdb"
  "CMakeFiles/talvora-audio.dir/cli/main.cpp.o"
  "CMakeFiles/talvora-audio.dir/cli/main.cpp.o.d"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora-audio.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
