
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/capture/tap.cpp" "src/CMakeFiles/talvora_core.dir/capture/tap.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/capture/tap.cpp.o.d"
  "/work/main/src/capture/voice_capture.cpp" "src/CMakeFiles/talvora_core.dir/capture/voice_capture.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/capture/voice_capture.cpp.o.d"
  "/work/main/src/cli/arguments.cpp" "src/CMakeFiles/talvora_core.dir/cli/arguments.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/cli/arguments.cpp.o.d"
  "/work/main/src/cli/process.cpp" "src/CMakeFiles/talvora_core.dir/cli/process.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/cli/process.cpp.o.d"
  "/work/main/src/cli/stop_listener.cpp" "src/CMakeFiles/talvora_core.dir/cli/stop_listener.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/cli/stop_listener.cpp.o.d"
  "/work/main/src/events/emit.cpp" "src/CMakeFiles/talvora_core.dir/events/emit.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/events/emit.cpp.o.d"
  "/work/main/src/platform/dispatch/run_loop.cpp" "src/CMakeFiles/talvora_core.dir/platform/dispatch/run_loop.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/platform/dispatch/run_loop.cpp.o.d"
  "/work/main/src/platform/dispatch/serial_queue.cpp" "src/CMakeFiles/talvora_core.dir/platform/dispatch/serial_queue.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/platform/dispatch/serial_queue.cpp.o.d"
  "/work/main/src/transcription/local_speech.cpp" "src/CMakeFiles/talvora_core.dir/transcription/local_speech.cpp.o" "gcc" "src/CMakeFiles/talvora_core.dir/transcription/local_speech.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
