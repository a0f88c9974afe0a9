file(REMOVE_RECURSE
  "CMakeFiles/talvora_linux.dir/platform/linux_platform.cpp.o"
  "CMakeFiles/talvora_linux.dir/platform/linux_platform.cpp.o.d"
  "libtalvora_linux.a"
  "libtalvora_linux.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_linux.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
