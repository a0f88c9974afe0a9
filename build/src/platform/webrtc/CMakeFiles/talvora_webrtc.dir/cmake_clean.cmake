file(REMOVE_RECURSE
  "CMakeFiles/talvora_webrtc.dir/webrtc_voice_processor.cpp.o"
  "CMakeFiles/talvora_webrtc.dir/webrtc_voice_processor.cpp.o.d"
  "libtalvora_webrtc.a"
  "libtalvora_webrtc.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_webrtc.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
