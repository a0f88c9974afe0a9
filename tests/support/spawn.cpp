#include "support/spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

namespace talvora::testing {

pid_t spawn(const SpawnOptions& options) {
  if (options.argv.empty()) throw std::invalid_argument("spawn: no program");
  std::vector<std::string> environment;
  for (const auto& [key, value] : options.environment) environment.push_back(key + "=" + value);
  // The one exception to "nothing is inherited": a sanitizer run's settings (stop at the
  // first report, suppressions) must govern the sanitized recorder it starts as well.
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    if (value && !options.environment.count(name)) environment.push_back(std::string(name) + "=" + value);
  }
  std::vector<char*> argv;
  for (const auto& a : options.argv) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (auto& e : environment) envp.push_back(e.data());
  envp.push_back(nullptr);
  // execvpe searches PATH from the calling process, so resolve the program here.
  std::string program = options.argv[0];
  if (program.find('/') == std::string::npos) {
    auto path = options.environment.find("PATH");
    std::string dirs = path != options.environment.end() ? path->second : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string candidate = dirs.substr(start, end - start) + "/" + program;
      if (::access(candidate.c_str(), X_OK) == 0) {
        program = candidate;
        break;
      }
      start = end + 1;
    }
  }
  const int devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
  const int in = options.stdinFd >= 0 ? options.stdinFd : devNull;
  const int out = options.stdoutFd >= 0 ? options.stdoutFd : devNull;
  const int err = options.stderrFd >= 0 ? options.stderrFd : devNull;
  const char* cwd = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    int e = errno;
    ::close(devNull);
    throw std::runtime_error(std::string("fork: ") + std::strerror(e));
  }
  if (pid == 0) {
    if (options.dieWithParent) {
      if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(126);
    }
    // Duplicate upwards first so that dup2 into 0..2 cannot clobber a source descriptor.
    int fds[3] = {::fcntl(in, F_DUPFD_CLOEXEC, 3), ::fcntl(out, F_DUPFD_CLOEXEC, 3), ::fcntl(err, F_DUPFD_CLOEXEC, 3)};
    for (int i = 0; i < 3; ++i) {
      if (fds[i] < 0 || ::dup2(fds[i], i) < 0) ::_exit(127);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (options.gid && (::setgroups(0, nullptr) != 0 || ::setgid(*options.gid) != 0)) ::_exit(126);
    if (options.uid && ::setuid(*options.uid) != 0) ::_exit(126);
    if (cwd && ::chdir(cwd) != 0) ::_exit(126);
    ::execve(program.c_str(), argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(devNull);
  return pid;
}

std::optional<int> waitForExit(pid_t pid, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) {
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      continue;
    }
    if (done < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace talvora::testing
