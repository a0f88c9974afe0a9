file(REMOVE_RECURSE
  "CMakeFiles/talvora_pocketsphinx.dir/pocketsphinx_speech.cpp.o"
  "CMakeFiles/talvora_pocketsphinx.dir/pocketsphinx_speech.cpp.o.d"
  "libtalvora_pocketsphinx.a"
  "libtalvora_pocketsphinx.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_pocketsphinx.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
