#include "support/spawn.h"

#include <cstdlib>

namespace talvora::testing {

ChildOptions testProgram(std::vector<std::string> argv, const std::map<std::string, std::string>& environment) {
  ChildOptions options;
  options.argv = std::move(argv);
  options.inheritEnvironment = false;
  options.defaultSignals = false;
  options.environment.assign(environment.begin(), environment.end());
  // The one exception to "nothing is inherited": a sanitizer run's settings (stop at the
  // first report, suppressions) must govern the sanitized recorder it starts as well.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    if (value && !environment.count(name)) options.environment.emplace_back(name, value);
  }
  return options;
}

}  // namespace talvora::testing
