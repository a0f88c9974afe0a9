#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace talvora::testing {

struct SpawnOptions {
  std::vector<std::string> argv;
  // The child's complete environment: nothing is inherited but the sanitizers' settings.
  std::map<std::string, std::string> environment;
  // Descriptors for the child's 0, 1 and 2; -1 is /dev/null.
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
  // Run as this user and group (no supplementary groups), for a client the server does
  // not know.
  std::optional<uid_t> uid;
  std::optional<gid_t> gid;
  std::string workingDirectory;
  // The child gets SIGKILL when the thread that spawned it ends (a test killed by its
  // timeout must not leave a sound server behind).
  bool dieWithParent = false;
};

// fork + execvp. Everything the child needs is prepared before the fork, so the child
// only makes async-signal-safe calls (the test process has threads). Throws when the
// fork fails; a failing exec makes the child exit with status 127.
pid_t spawn(const SpawnOptions& options);

// Waits for `pid` at most `timeoutMs`. The exit status, 128 + signal number when a
// signal ended it, or none on timeout (the process keeps running).
std::optional<int> waitForExit(pid_t pid, int timeoutMs);

}  // namespace talvora::testing
