file(REMOVE_RECURSE
  "CMakeFiles/talvora_sndfile.dir/sndfile_audio_file.cpp.o"
  "CMakeFiles/talvora_sndfile.dir/sndfile_audio_file.cpp.o.d"
  "libtalvora_sndfile.a"
  "libtalvora_sndfile.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_sndfile.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
