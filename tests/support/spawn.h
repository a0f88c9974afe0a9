#pragma once

// Programs a test runs go through the client library's one spawner (client/child_process.h).

#include <map>
#include <string>
#include <vector>

#include "client/child_process.h"

namespace talvora::testing {

using client::ChildOptions;
using client::ChildProcess;
using client::ChildStream;

// `argv` with exactly `environment`: nothing is inherited but a sanitizer run's settings.
// Standard streams on /dev/null; signal dispositions as this process has them (the
// drills decide themselves what a child starts with).
ChildOptions testProgram(std::vector<std::string> argv, const std::map<std::string, std::string>& environment);

}  // namespace talvora::testing
