
# Consider dependencies only in project.
set(CMAKE_DEPENDS_IN_PROJECT_ONLY OFF)

# The set of languages for which implicit dependencies are needed:
set(CMAKE_DEPENDS_LANGUAGES
  )

# The set of dependency files which are needed:
set(CMAKE_DEPENDS_DEPENDENCY_FILES
  "/work/main/tests/unit/capture_test.cpp" "tests/unit/CMakeFiles/unit_tests.dir/capture_test.cpp.o" "gcc" "tests/unit/CMakeFiles/unit_tests.dir/capture_test.cpp.o.d"
  "/work/main/tests/unit/cli_test.cpp" "tests/unit/CMakeFiles/unit_tests.dir/cli_test.cpp.o" "gcc" "tests/unit/CMakeFiles/unit_tests.dir/cli_test.cpp.o.d"
  "/work/main/tests/unit/dispatch_test.cpp" "tests/unit/CMakeFiles/unit_tests.dir/dispatch_test.cpp.o" "gcc" "tests/unit/CMakeFiles/unit_tests.dir/dispatch_test.cpp.o.d"
  "/work/main/tests/unit/events_test.cpp" "tests/unit/CMakeFiles/unit_tests.dir/events_test.cpp.o" "gcc" "tests/unit/CMakeFiles/unit_tests.dir/events_test.cpp.o.d"
  "/work/main/tests/unit/tap_test.cpp" "tests/unit/CMakeFiles/unit_tests.dir/tap_test.cpp.o" "gcc" "tests/unit/CMakeFiles/unit_tests.dir/tap_test.cpp.o.d"
  )

# Targets to which this target links.
set(CMAKE_TARGET_LINKED_INFO_FILES
  "/work/main/build/tests/CMakeFiles/talvora_fakes.dir/DependInfo.cmake"
  "/work/main/build/src/CMakeFiles/talvora_core.dir/DependInfo.cmake"
  )

# Fortran module output directory.
set(CMAKE_Fortran_TARGET_MODULE_DIR "")
