#include "client/recording.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>

extern char** environ;

namespace talvora::client {

namespace {

constexpr size_t kLongestLine = 16 << 20;  // a 30-minute transcript is far below this
constexpr size_t kKeptUnparsedLines = 100;
constexpr size_t kKeptStandardError = 64 << 10;

[[noreturn]] void throwErrno(int error, const std::string& what) {
  throw std::system_error(error, std::generic_category(), what);
}

void closeQuietly(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Writes all of `data`, or fails with EPIPE or another error, without SIGPIPE ever
// reaching the process (see the header for why this and not SIG_IGN).
bool writeWithoutSigpipe(int fd, const char* data, size_t size) {
  sigset_t pipeOnly;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  sigset_t pending;
  sigpending(&pending);
  const bool alreadyPending = sigismember(&pending, SIGPIPE) == 1;
  sigset_t previous;
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &previous);

  bool brokenPipe = false;
  bool ok = true;
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      brokenPipe = errno == EPIPE;
      ok = false;
      break;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  // Our failed write raised a thread-directed SIGPIPE that is now pending; take it so
  // that restoring the mask does not deliver it. One that was pending before belongs to
  // someone else and stays.
  if (brokenPipe && !alreadyPending) {
    timespec immediately{};
    while (sigtimedwait(&pipeOnly, nullptr, &immediately) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  return ok;
}

bool isExecutableFile(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// One output stream of the child, split into lines.
struct Stream {
  int fd = -1;
  std::string pending;  // the line being read
  bool overlong = false;
};

}  // namespace

std::string defaultRecorderPath() {
  static const char* kName = "talvora-audio";
  char self[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", self, sizeof self - 1);
  if (length > 0) {
    std::string path(self, static_cast<size_t>(length));
    auto slash = path.rfind('/');
    if (slash != std::string::npos) {
      std::string candidate = path.substr(0, slash + 1) + kName;
      if (isExecutableFile(candidate)) return candidate;
    }
  }
  if (const char* search = std::getenv("PATH")) {
    std::string_view rest(search);
    while (true) {
      auto colon = rest.find(':');
      std::string folder(rest.substr(0, colon));
      if (folder.empty()) folder = ".";
      std::string candidate = folder + "/" + kName;
      if (isExecutableFile(candidate)) return candidate;
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  return kName;
}

struct Recording::State {
  RecordingOptions options;
  pid_t pid = -1;
  int pidfd = -1;  // -1 where the kernel has no pidfd_open: the reader then polls

  std::mutex stdinMutex;
  int stdinFd = -1;

  Stream out;
  Stream err;

  // Guards childExited, done, result and joined. kill() is only sent while the child has
  // not been marked exited, under this lock, and it is marked before it is reaped: so a
  // signal can never reach a recycled process id.
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool childExited = false;
  bool done = false;
  bool joined = false;
  RecordingResult result;  // written by the reader only, read once done

  std::thread reader;
  // Set when the Recording is destroyed from its own callback: the reader then finishes
  // on its own and calls no more callbacks.
  bool silenced = false;

  void run();
  bool readAvailable(Stream& stream, bool isOutput);
  void deliver(Event event);
  void deliverPending(Stream& stream);
  void appendStandardError(const char* data, size_t size);
  bool childHasExited();
  void reap();
};

void Recording::State::deliver(Event event) {
  std::visit(
      [this](const auto& value) {
        using T = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<T, Ready>) {
          result.ready = true;
        } else if constexpr (std::is_same_v<T, Level>) {
          result.lastElapsedSeconds = value.elapsedSeconds;
        } else if constexpr (std::is_same_v<T, Warning>) {
          result.warnings.push_back(value.message);
        } else if constexpr (std::is_same_v<T, Error>) {
          result.errors.push_back(value.message);
        } else if constexpr (std::is_same_v<T, Finished>) {
          result.finished = true;
          result.durationSeconds = value.durationSeconds;
          result.transcript = value.localTranscript;
        } else {
          if (result.unparsed.size() < kKeptUnparsedLines) result.unparsed.push_back(value.line);
        }
      },
      event);
  if (options.onEvent && !silenced) options.onEvent(event);
}

void Recording::State::deliverPending(Stream& stream) {
  if (stream.overlong) {
    // Only its beginning is worth reporting; it is no event of ours in any case.
    stream.pending.resize(std::min<size_t>(stream.pending.size(), 4096));
    deliver(Unparsed{std::move(stream.pending)});
  } else {
    deliver(parseEventLine(stream.pending));
  }
  stream.pending.clear();
  stream.overlong = false;
}

void Recording::State::appendStandardError(const char* data, size_t size) {
  size_t room = kKeptStandardError - std::min(kKeptStandardError, result.standardError.size());
  result.standardError.append(data, std::min(room, size));
}

// Reads what the descriptor has without blocking. False at end of input (or a read
// error, which ends the stream just the same).
bool Recording::State::readAvailable(Stream& stream, bool isOutput) {
  char buffer[16384];
  // Bounded, so that a grandchild that keeps the pipe open and writes without pause
  // cannot hold the reader here.
  for (int round = 0; round < 64; ++round) {
    ssize_t count = ::read(stream.fd, buffer, sizeof buffer);
    if (count < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    if (count == 0) return false;
    if (!isOutput) {
      appendStandardError(buffer, static_cast<size_t>(count));
      continue;
    }
    const char* begin = buffer;
    const char* end = buffer + count;
    while (begin < end) {
      const char* newline = static_cast<const char*>(std::memchr(begin, '\n', static_cast<size_t>(end - begin)));
      const char* stop = newline ? newline : end;
      if (!stream.overlong) {
        size_t take = static_cast<size_t>(stop - begin);
        if (stream.pending.size() + take > kLongestLine) {
          // Not an event of ours: keep no more of it, drop the rest of the line.
          stream.overlong = true;
        } else {
          stream.pending.append(begin, take);
        }
      }
      if (!newline) break;
      deliverPending(stream);
      begin = newline + 1;
    }
  }
  return true;
}

bool Recording::State::childHasExited() {
  siginfo_t info{};
  // WNOWAIT: look without reaping; reap() does that once the exit is recorded.
  if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) < 0) return errno == ECHILD;
  return info.si_pid == pid;
}

void Recording::State::reap() {
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(mutex);
    childExited = true;
  }
  int status = 0;
  pid_t reaped;
  do {
    reaped = ::waitpid(pid, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid) {
    if (WIFEXITED(status)) {
      result.exited = true;
      result.exitStatus = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
      result.signal = WTERMSIG(status);
    }
  }
}

void Recording::State::run() {
  bool outOpen = true;
  bool errOpen = true;
  while (outOpen || errOpen) {
    pollfd fds[3];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1, pidIndex = -1;
    if (outOpen) {
      outIndex = static_cast<int>(count);
      fds[count++] = {out.fd, POLLIN, 0};
    }
    if (errOpen) {
      errIndex = static_cast<int>(count);
      fds[count++] = {err.fd, POLLIN, 0};
    }
    if (pidfd >= 0) {
      pidIndex = static_cast<int>(count);
      fds[count++] = {pidfd, POLLIN, 0};
    }
    int ready = ::poll(fds, count, pidfd >= 0 ? -1 : 100);
    if (ready < 0 && errno != EINTR) break;
    if (ready < 0) continue;
    if (outIndex >= 0 && fds[outIndex].revents != 0) outOpen = readAvailable(out, true);
    if (errIndex >= 0 && fds[errIndex].revents != 0) errOpen = readAvailable(err, false);
    bool exited = pidIndex >= 0 ? fds[pidIndex].revents != 0 : (ready == 0 && childHasExited());
    if (exited) {
      // Everything the child wrote is in the pipes by now; take it and stop there, even
      // if something the child left behind still holds the pipes open.
      if (outOpen) readAvailable(out, true);
      if (errOpen) readAvailable(err, false);
      break;
    }
  }
  reap();
  // A last line without a line feed is a line too.
  if (!out.pending.empty() || out.overlong) deliverPending(out);
  closeQuietly(out.fd);
  closeQuietly(err.fd);
  closeQuietly(pidfd);
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  doneChanged.notify_all();
}

Recording::Recording(RecordingOptions options) : state_(std::make_shared<State>()) {
  State& state = *state_;
  state.options = std::move(options);
  const std::string executable =
      state.options.executable.empty() ? defaultRecorderPath() : state.options.executable;

  int input[2] = {-1, -1}, output[2] = {-1, -1}, errors[2] = {-1, -1};
  auto closeAll = [&] {
    for (int* pair : {input, output, errors}) {
      closeQuietly(pair[0]);
      closeQuietly(pair[1]);
    }
  };
  // Close-on-exec, so that a program another thread starts meanwhile does not inherit
  // our ends (an inherited write end would hide the child's end of output from us).
  if (::pipe2(input, O_CLOEXEC) != 0 || ::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(errors, O_CLOEXEC) != 0) {
    int error = errno;
    closeAll();
    throwErrno(error, "cannot create pipes for " + executable);
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errors[1], STDERR_FILENO);

  // The recorder counts on default dispositions and an open mask for its stop signals,
  // whatever this process has done with them.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGQUIT, SIGCHLD}) sigaddset(&defaults, signal);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (state.options.separateProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    posix_spawnattr_setpgroup(&attributes, 0);
  }
  posix_spawnattr_setflags(&attributes, flags);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);

  std::vector<std::string> arguments = {executable, state.options.output, durationOperand(state.options.maxSeconds),
                                        std::string(state.options.transcribe ? protocol::kTranscribeOn : protocol::kTranscribeOff)};
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  std::vector<std::string> environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view variable(*entry);
    std::string_view name = variable.substr(0, variable.find('='));
    bool replaced = std::any_of(state.options.environment.begin(), state.options.environment.end(),
                                [&](const auto& setting) { return setting.first == name; });
    if (!replaced) environment.emplace_back(variable);
  }
  for (const auto& [name, value] : state.options.environment) environment.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& variable : environment) envp.push_back(variable.data());
  envp.push_back(nullptr);

  pid_t pid = -1;
  int spawnError = executable.find('/') == std::string::npos
                       ? posix_spawnp(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data())
                       : posix_spawn(&pid, executable.c_str(), &actions, &attributes, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawnError != 0) {
    closeAll();
    throwErrno(spawnError, "cannot start " + executable);
  }

  closeQuietly(input[0]);
  closeQuietly(output[1]);
  closeQuietly(errors[1]);
  state.pid = pid;
  state.stdinFd = input[1];
  state.out.fd = output[0];
  state.err.fd = errors[0];
  // The reader drains without blocking once the child has gone.
  for (int fd : {state.out.fd, state.err.fd}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
#ifdef SYS_pidfd_open
  state.pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (state.pidfd >= 0) ::fcntl(state.pidfd, F_SETFD, FD_CLOEXEC);
#endif

  try {
    state.reader = std::thread([shared = state_] { shared->run(); });
  } catch (...) {
    // No reader, so no one to reap: end the child here rather than leave it behind.
    ::kill(pid, SIGKILL);
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    for (int* fd : {&state.stdinFd, &state.out.fd, &state.err.fd, &state.pidfd}) closeQuietly(*fd);
    throw;
  }
}

Recording::~Recording() {
  State& state = *state_;
  if (state.reader.get_id() == std::this_thread::get_id()) {
    // Destroyed from its own callback: the reader cannot join itself. It keeps the state
    // alive, reaps the child once the stop below has taken effect, and calls no one.
    state.silenced = true;
    requestStop();
    state.reader.detach();
    return;
  }
  requestStop();
  if (!waitFor(state.options.stopGrace)) {
    terminate(SIGTERM);
    if (!waitFor(state.options.stopGrace)) {
      terminate(SIGKILL);
    }
  }
  wait();
}

pid_t Recording::pid() const { return state_->pid; }

void Recording::requestStop() {
  State& state = *state_;
  std::lock_guard lock(state.stdinMutex);
  if (state.stdinFd < 0) return;
  const std::string stop = std::string(protocol::kStopLine) + "\n";
  writeWithoutSigpipe(state.stdinFd, stop.data(), stop.size());
  closeQuietly(state.stdinFd);
}

void Recording::terminate(int signal) {
  State& state = *state_;
  std::lock_guard lock(state.mutex);
  if (!state.childExited) ::kill(state.pid, signal);
}

std::optional<RecordingResult> Recording::waitFor(std::chrono::milliseconds timeout) {
  State& state = *state_;
  if (state.reader.get_id() == std::this_thread::get_id()) {
    throw std::logic_error("talvora::client::Recording: wait from the event callback would never return");
  }
  std::unique_lock lock(state.mutex);
  if (!state.doneChanged.wait_for(lock, timeout, [&] { return state.done; })) return std::nullopt;
  if (!state.joined) {
    state.joined = true;
    lock.unlock();
    // Done is set as the reader's last act; this join is immediate.
    state.reader.join();
    lock.lock();
  }
  return state.result;
}

RecordingResult Recording::wait() {
  while (true) {
    if (auto result = waitFor(std::chrono::hours(24))) return std::move(*result);
  }
}

}  // namespace talvora::client
