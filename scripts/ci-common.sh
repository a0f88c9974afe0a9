# Shared by the CI scripts: sourced, not run.

# A build folder configured from another checkout (a copied tree, a moved clone) cannot
# be reconfigured here: CMake refuses a cache made for another source folder. Such a
# folder is thrown away and built anew.
ci_fresh_build_dir() {
  local dir=$1 cache=$1/CMakeCache.txt
  if [ -f "$cache" ]; then
    local home
    home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
    if [ "$home" != "$PWD" ]; then
      echo "$dir was configured for $home; starting it afresh"
      rm -rf "$dir"
    fi
  fi
}

# What every sanitizer run uses, exported by ci_sanitizer_options. A report stops the
# process at once (the first report is the one worth reading) with abort(), so a child
# that a test starts dies by a signal its parent test cannot mistake for a normal exit.
# The suppressions path is absolute: tests start children in folders of their own.
ci_sanitizer_options() {
  export ASAN_OPTIONS=${ASAN_OPTIONS:-halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:strict_string_checks=1}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:print_stacktrace=1:report_error_type=1}
  export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:abort_on_error=1:second_deadlock_stack=1:history_size=4:suppressions=$PWD/scripts/ci-tsan.supp}
}
