#include "client/child_process.h"

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace talvora::client {

namespace {

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

void closeQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// What a child that could not become the program writes to its parent before exiting.
struct StartFailure {
  int error = 0;
  const char* step = nullptr;  // a literal: the same address in parent and child
};

// Everything the child needs, made before the fork: after it the child only makes
// async-signal-safe calls (the parent may have other threads, one of which may hold the
// allocator's lock).
struct Launch {
  std::string program;
  std::vector<char*> argv;
  std::vector<char*> envp;
  int streams[3] = {-1, -1, -1};  // what becomes the child's 0, 1 and 2
  int status = -1;                // the write end of the start-failure pipe
  const char* directory = nullptr;
  const ChildOptions* options = nullptr;
  pid_t parent = -1;
};

[[noreturn]] void fail(const Launch& launch, const char* step) {
  StartFailure failure{errno, step};
  [[maybe_unused]] ssize_t ignored = ::write(launch.status, &failure, sizeof failure);
  ::_exit(127);
}

[[noreturn]] void becomeProgram(const Launch& launch) {
  const ChildOptions& options = *launch.options;
  if (options.dieWithThread) {
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) fail(launch, "PR_SET_PDEATHSIG");
    if (::getppid() != launch.parent) ::_exit(127);  // the parent is gone already
  }
  if (options.separateProcessGroup && ::setpgid(0, 0) != 0) fail(launch, "setpgid");
  // Duplicated upwards first, so that placing one into 0..2 cannot clobber another.
  int above[3];
  for (int i = 0; i < 3; ++i) {
    above[i] = ::fcntl(launch.streams[i], F_DUPFD_CLOEXEC, 3);
    if (above[i] < 0) fail(launch, "dup");
  }
  for (int i = 0; i < 3; ++i) {
    if (::dup2(above[i], i) < 0) fail(launch, "dup2");
  }
  if (options.gid && (::setgroups(0, nullptr) != 0 || ::setgid(*options.gid) != 0)) fail(launch, "setgid");
  if (options.uid && ::setuid(*options.uid) != 0) fail(launch, "setuid");
  if (launch.directory && ::chdir(launch.directory) != 0) fail(launch, "chdir");
  // All signals are blocked since before the fork. A handler of the parent's must not
  // run here once they are unblocked, so caught signals go back to their default first
  // (exec would do that too, but only afterwards).
  for (int number = 1; number < NSIG; ++number) {
    struct sigaction current {};
    if (::sigaction(number, nullptr, &current) != 0) continue;
    bool caught = current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
    bool reset = options.defaultSignals && current.sa_handler == SIG_IGN &&
                 (number == SIGINT || number == SIGTERM || number == SIGHUP || number == SIGPIPE ||
                  number == SIGQUIT || number == SIGCHLD);
    if (caught || reset) {
      struct sigaction byDefault {};
      byDefault.sa_handler = SIG_DFL;
      ::sigaction(number, &byDefault, nullptr);
    }
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(launch.program.c_str(), launch.argv.data(), launch.envp.data());
  fail(launch, nullptr);
}

// See ChildProcess::write.
bool writeWithoutSigpipe(int fd, std::string_view bytes) {
  if (fd < 0) {
    errno = EBADF;
    return false;
  }
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);

  const char* data = bytes.data();
  size_t size = bytes.size();
  int failure = 0;
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      failure = errno;
      break;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  // Our failed write raised a thread-directed SIGPIPE that is now pending; take it so
  // that restoring the mask does not deliver it. One that was pending before belongs to
  // someone else and stays.
  if (failure == EPIPE && !alreadyPending) {
    timespec immediately{};
    while (sigtimedwait(&pipeOnly, nullptr, &immediately) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  errno = failure;
  return failure == 0;
}

std::vector<std::string> environmentOf(const ChildOptions& options) {
  std::vector<std::string> environment;
  if (options.inheritEnvironment) {
    for (char** entry = environ; entry && *entry; ++entry) {
      std::string_view variable(*entry);
      std::string_view key = variable.substr(0, variable.find('='));
      bool replaced = std::any_of(options.environment.begin(), options.environment.end(),
                                  [&](const auto& setting) { return setting.first == key; });
      if (!replaced) environment.emplace_back(variable);
    }
  }
  for (const auto& [key, value] : options.environment) environment.push_back(key + "=" + value);
  return environment;
}

// `name` itself when it has a slash; otherwise found on the PATH the child will have
// (execve would take a bare name for one in the current folder).
std::string programPath(const std::string& name, const std::vector<std::string>& environment) {
  if (name.find('/') != std::string::npos) return name;
  std::string_view searchPath = "/usr/bin:/bin";
  for (const auto& variable : environment) {
    if (variable.rfind("PATH=", 0) == 0) searchPath = std::string_view(variable).substr(5);
  }
  auto found = findOnPath(name, searchPath);
  if (!found) throwErrno(ENOENT, "cannot start " + name);
  return *found;
}

}  // namespace

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> findOnPath(const std::string& name, std::string_view searchPath) {
  while (true) {
    auto colon = searchPath.find(':');
    std::string folder(searchPath.substr(0, colon));
    if (folder.empty()) folder = ".";
    std::string candidate = folder + "/" + name;
    if (isExecutableFile(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    searchPath.remove_prefix(colon + 1);
  }
}

ChildProcess::ChildProcess(const ChildOptions& options) {
  if (options.argv.empty()) throw std::invalid_argument("ChildProcess: no program");
  const std::string& name = options.argv[0];
  std::vector<std::string> environment = environmentOf(options);
  std::vector<std::string> arguments = options.argv;

  Launch launch;
  launch.options = &options;
  launch.program = programPath(name, environment);
  for (auto& argument : arguments) launch.argv.push_back(argument.data());
  launch.argv.push_back(nullptr);
  for (auto& variable : environment) launch.envp.push_back(variable.data());
  launch.envp.push_back(nullptr);
  if (!options.workingDirectory.empty()) launch.directory = options.workingDirectory.c_str();
  launch.parent = ::getpid();

  // Every descriptor made here is close-on-exec, so that a program another thread
  // starts meanwhile does not inherit it (an inherited write end would hide the end of
  // the child's output from us).
  int pipes[3][2] = {{-1, -1}, {-1, -1}, {-1, -1}};
  int devNull = -1;
  int status[2] = {-1, -1};
  auto closeAll = [&] {
    for (auto& pair : pipes) {
      closeQuietly(pair[0]);
      closeQuietly(pair[1]);
    }
    closeQuietly(devNull);
    closeQuietly(status[0]);
    closeQuietly(status[1]);
  };
  auto giveUp = [&](int error, const std::string& what) {
    closeAll();
    throwErrno(error, what);
  };
  const ChildStream* streams[3] = {&options.input, &options.output, &options.error};
  for (int i = 0; i < 3; ++i) {
    switch (streams[i]->kind) {
      case ChildStream::Kind::pipe:
        if (::pipe2(pipes[i], O_CLOEXEC) != 0) break;
        // The child reads its input and writes the others.
        launch.streams[i] = i == 0 ? pipes[i][0] : pipes[i][1];
        continue;
      case ChildStream::Kind::descriptor:
        launch.streams[i] = streams[i]->fd;
        continue;
      case ChildStream::Kind::devNull:
        if (devNull < 0) devNull = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (devNull < 0) break;
        launch.streams[i] = devNull;
        continue;
    }
    giveUp(errno, "cannot create the standard streams for " + name);
  }
  if (::pipe2(status, O_CLOEXEC) != 0) giveUp(errno, "cannot start " + name);
  if (status[1] < 3) {
    // Where this process has no standard streams, the pipe may have got one of their
    // numbers: the child's own 0..2 would overwrite it.
    int above = ::fcntl(status[1], F_DUPFD_CLOEXEC, 3);
    int error = errno;
    ::close(status[1]);
    status[1] = above;
    if (above < 0) giveUp(error, "cannot start " + name);
  }
  launch.status = status[1];

  // Blocked across the fork: the child unblocks them only once no handler of ours can
  // run there (see becomeProgram).
  sigset_t all, previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  const pid_t pid = ::fork();
  if (pid == 0) becomeProgram(launch);
  const int forkError = errno;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (pid < 0) giveUp(forkError, "cannot start " + name);

  closeQuietly(status[1]);
  StartFailure failure;
  ssize_t got;
  do {
    got = ::read(status[0], &failure, sizeof failure);
  } while (got < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof failure)) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    giveUp(failure.error, "cannot start " + name + (failure.step ? std::string(" (") + failure.step + ")" : ""));
  }
  // The program runs: our ends stay, the child's go.
  pid_ = pid;
  input_ = std::exchange(pipes[0][1], -1);
  output_ = std::exchange(pipes[1][0], -1);
  error_ = std::exchange(pipes[2][0], -1);
  closeAll();
#ifdef SYS_pidfd_open
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));  // close-on-exec by itself
#endif
}

ChildProcess::~ChildProcess() {
  if (!hasExited()) kill(SIGKILL);
  wait();
  closeQuietly(input_);
  closeOutput();
  closeError();
  closeQuietly(pidfd_);
}

void ChildProcess::closeOutput() { closeQuietly(output_); }
void ChildProcess::closeError() { closeQuietly(error_); }

bool ChildProcess::write(std::string_view bytes) {
  std::lock_guard lock(inputMutex_);
  return writeWithoutSigpipe(input_, bytes);
}

void ChildProcess::closeInput(std::string_view last) {
  std::lock_guard lock(inputMutex_);
  if (input_ >= 0 && !last.empty()) writeWithoutSigpipe(input_, last);
  closeQuietly(input_);
}

void ChildProcess::kill(int signal) {
  std::lock_guard lock(signalMutex_);
  if (!exiting_) ::kill(pid_, signal);
}

bool ChildProcess::hasExited() {
  {
    std::lock_guard lock(signalMutex_);
    if (exiting_) return true;
  }
  siginfo_t info{};
  // WNOWAIT: look without reaping; wait() does that once the exit is recorded.
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0) return errno == ECHILD;
  return info.si_pid == pid_;
}

ChildExit ChildProcess::wait() {
  std::lock_guard reaping(reapMutex_);
  if (exit_) return *exit_;
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(signalMutex_);
    exiting_ = true;
  }
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  ChildExit exit;
  if (reaped == pid_) {
    if (WIFEXITED(status)) {
      exit.exited = true;
      exit.status = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      exit.signal = WTERMSIG(status);
    }
  }
  exit_ = exit;
  return exit;
}

std::optional<ChildExit> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!hasExited()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (pidfd_ >= 0) {
      pollfd exited{pidfd_, POLLIN, 0};
      ::poll(&exited, 1, static_cast<int>(left.count()));
    } else {
      std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(2)));
    }
  }
  return wait();
}

}  // namespace talvora::client
