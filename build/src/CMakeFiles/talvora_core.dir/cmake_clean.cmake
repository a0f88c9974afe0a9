file(REMOVE_RECURSE
  "CMakeFiles/talvora_core.dir/capture/tap.cpp.o"
  "CMakeFiles/talvora_core.dir/capture/tap.cpp.o.d"
  "CMakeFiles/talvora_core.dir/capture/voice_capture.cpp.o"
  "CMakeFiles/talvora_core.dir/capture/voice_capture.cpp.o.d"
  "CMakeFiles/talvora_core.dir/cli/arguments.cpp.o"
  "CMakeFiles/talvora_core.dir/cli/arguments.cpp.o.d"
  "CMakeFiles/talvora_core.dir/cli/process.cpp.o"
  "CMakeFiles/talvora_core.dir/cli/process.cpp.o.d"
  "CMakeFiles/talvora_core.dir/cli/stop_listener.cpp.o"
  "CMakeFiles/talvora_core.dir/cli/stop_listener.cpp.o.d"
  "CMakeFiles/talvora_core.dir/events/emit.cpp.o"
  "CMakeFiles/talvora_core.dir/events/emit.cpp.o.d"
  "CMakeFiles/talvora_core.dir/platform/dispatch/run_loop.cpp.o"
  "CMakeFiles/talvora_core.dir/platform/dispatch/run_loop.cpp.o.d"
  "CMakeFiles/talvora_core.dir/platform/dispatch/serial_queue.cpp.o"
  "CMakeFiles/talvora_core.dir/platform/dispatch/serial_queue.cpp.o.d"
  "CMakeFiles/talvora_core.dir/transcription/local_speech.cpp.o"
  "CMakeFiles/talvora_core.dir/transcription/local_speech.cpp.o.d"
  "libtalvora_core.a"
  "libtalvora_core.pdb"
)

# Per-language clean rules from dependency scanning.
foreach(lang CXX)
  include(CMakeFiles/talvora_core.dir/cmake_clean_${lang}.cmake OPTIONAL)
endforeach()
