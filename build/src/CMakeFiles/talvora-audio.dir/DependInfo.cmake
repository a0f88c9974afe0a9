
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/src/cli/main.cpp" "src/CMakeFiles/talvora-audio.dir/cli/main.cpp.o" "gcc" "src/CMakeFiles/talvora-audio.dir/cli/main.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/src/CMakeFiles/talvora_core.dir/DependInfo.cmake"
  "/work/main/build/src/CMakeFiles/talvora_linux.dir/DependInfo.cmake"
  "/work/main/build/src/platform/pulse/CMakeFiles/talvora_pulse.dir/DependInfo.cmake"
  "/work/main/build/src/platform/webrtc/CMakeFiles/talvora_webrtc.dir/DependInfo.cmake"
  "/work/main/build/src/platform/sndfile/CMakeFiles/talvora_sndfile.dir/DependInfo.cmake"
  "/work/main/build/src/platform/pocketsphinx/CMakeFiles/talvora_pocketsphinx.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
