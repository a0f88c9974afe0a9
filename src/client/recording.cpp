#include "client/recording.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

#include "client/child_process.h"

namespace talvora::client {

namespace {

constexpr size_t kLongestLine = 16 << 20;  // a 30-minute transcript is far below this
constexpr size_t kKeptUnparsedLines = 100;
constexpr size_t kKeptStandardError = 64 << 10;

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
    if (auto found = findOnPath(kName, search)) return *found;
  }
  return kName;
}

struct Recording::State {
  RecordingOptions options;
  std::unique_ptr<ChildProcess> child;
  Stream out;
  Stream err;

  // Guards done and joined.
  std::mutex mutex;
  std::condition_variable doneChanged;
  bool done = false;
  bool joined = false;
  RecordingResult result;  // written by the reader only, read once done

  std::thread reader;
  // Set when the Recording is destroyed from its own callback, on the reader thread
  // itself: no more callbacks, and the reader ends the child on its own, as the
  // destructor would have.
  std::optional<std::chrono::steady_clock::time_point> abandonedAt;
  int signalsSent = 0;  // after abandonedAt: SIGTERM, then SIGKILL

  void run();
  bool readAvailable(Stream& stream, bool isOutput);
  void deliver(Event event);
  void deliverPending(Stream& stream);
  void appendStandardError(const char* data, size_t size);
  int pollTimeout() const;
  void escalate();

  // A reader whose Recording was destroyed from its callback cannot be joined by the
  // thread it runs on, and nothing of the application's may be left to join it. Its
  // state is kept here until the reader has finished (it ends the child within twice
  // the grace period); then the next Recording to start joins it, or at the latest the
  // process does as it exits. So no thread of ours outlives the state it uses, and the
  // callback's captures are released on a thread that is no longer running it.
  struct Orphans {
    std::mutex mutex;
    std::vector<std::shared_ptr<State>> states;
    ~Orphans() {
      for (auto& state : states) {
        // Exiting from the very callback that destroyed the Recording: that thread is
        // this one, and it ends with the process.
        if (state->reader.get_id() == std::this_thread::get_id()) {
          state->reader.detach();
        } else {
          state->reader.join();
        }
      }
    }
  };
  static Orphans& orphans() {
    static Orphans instance;
    return instance;
  }
  static void joinFinishedOrphans();
};

void Recording::State::joinFinishedOrphans() {
  std::vector<std::shared_ptr<State>> finished;
  {
    Orphans& all = orphans();
    std::lock_guard lock(all.mutex);
    auto stillRunning = std::stable_partition(all.states.begin(), all.states.end(), [](const auto& state) {
      std::lock_guard done(state->mutex);
      return !state->done;
    });
    std::move(stillRunning, all.states.end(), std::back_inserter(finished));
    all.states.erase(stillRunning, all.states.end());
  }
  // Done is the reader's last act: these joins are immediate.
  for (auto& state : finished) state->reader.join();
}

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
  if (options.onEvent && !abandonedAt) options.onEvent(event);
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

// How long the reader may sleep: until the child's exit is signalled (or, where the
// kernel has no pidfd, a tenth of a second to look), and no longer than the next step
// of ending an abandoned child.
int Recording::State::pollTimeout() const {
  int timeout = child->exitDescriptor() >= 0 ? -1 : 100;
  if (!abandonedAt || signalsSent >= 2) return timeout;
  auto next = *abandonedAt + options.stopGrace * (signalsSent + 1);
  auto left = std::chrono::ceil<std::chrono::milliseconds>(next - std::chrono::steady_clock::now()).count();
  int untilNext = static_cast<int>(std::clamp<long long>(left, 0, INT_MAX));
  return timeout < 0 ? untilNext : std::min(timeout, untilNext);
}

void Recording::State::escalate() {
  if (!abandonedAt || signalsSent >= 2) return;
  if (std::chrono::steady_clock::now() < *abandonedAt + options.stopGrace * (signalsSent + 1)) return;
  child->kill(signalsSent == 0 ? SIGTERM : SIGKILL);
  ++signalsSent;
}

void Recording::State::run() {
  bool outOpen = true;
  bool errOpen = true;
  const int exitFd = child->exitDescriptor();
  while (true) {
    pollfd fds[3];
    nfds_t count = 0;
    int outIndex = -1, errIndex = -1, exitIndex = -1;
    if (outOpen) {
      outIndex = static_cast<int>(count);
      fds[count++] = {out.fd, POLLIN, 0};
    }
    if (errOpen) {
      errIndex = static_cast<int>(count);
      fds[count++] = {err.fd, POLLIN, 0};
    }
    if (exitFd >= 0) {
      exitIndex = static_cast<int>(count);
      fds[count++] = {exitFd, POLLIN, 0};
    }
    int ready = ::poll(fds, count, pollTimeout());
    if (ready < 0 && errno != EINTR) break;
    if (ready < 0) continue;
    if (outIndex >= 0 && fds[outIndex].revents != 0) outOpen = readAvailable(out, true);
    if (errIndex >= 0 && fds[errIndex].revents != 0) errOpen = readAvailable(err, false);
    bool exited = exitIndex >= 0 ? fds[exitIndex].revents != 0 : child->hasExited();
    if (exited) {
      // Everything the child wrote is in the pipes by now; take it and stop there, even
      // if something the child left behind still holds the pipes open.
      if (outOpen) readAvailable(out, true);
      if (errOpen) readAvailable(err, false);
      break;
    }
    escalate();
  }
  ChildExit exit = child->wait();
  result.exited = exit.exited;
  result.exitStatus = exit.status;
  result.signal = exit.signal;
  // A last line without a line feed is a line too.
  if (!out.pending.empty() || out.overlong) deliverPending(out);
  child->closeOutput();
  child->closeError();
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  doneChanged.notify_all();
}

Recording::Recording(RecordingOptions options) : state_(std::make_shared<State>()) {
  State::joinFinishedOrphans();
  State& state = *state_;
  state.options = std::move(options);
  ChildOptions child;
  child.argv = {state.options.executable.empty() ? defaultRecorderPath() : state.options.executable,
                state.options.output, durationOperand(state.options.maxSeconds),
                std::string(state.options.transcribe ? protocol::kTranscribeOn : protocol::kTranscribeOff)};
  child.environment = state.options.environment;
  child.input = child.output = child.error = ChildStream::pipe();
  child.separateProcessGroup = state.options.separateProcessGroup;
  state.child = std::make_unique<ChildProcess>(child);
  state.out.fd = state.child->output();
  state.err.fd = state.child->error();
  // The reader drains without blocking once the child has gone.
  for (int fd : {state.out.fd, state.err.fd}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  // Should the thread not start, the child is killed and reaped with the state.
  state.reader = std::thread([shared = state_] { shared->run(); });
}

Recording::~Recording() {
  State& state = *state_;
  if (state.reader.get_id() == std::this_thread::get_id()) {
    // Destroyed from its own callback: the reader cannot join itself. It stops the child
    // on its own and calls no one; the orphans keep the state until it is joined.
    state.abandonedAt = std::chrono::steady_clock::now();
    requestStop();
    State::Orphans& orphans = State::orphans();
    std::lock_guard lock(orphans.mutex);
    orphans.states.push_back(state_);
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

pid_t Recording::pid() const { return state_->child->pid(); }

void Recording::requestStop() { state_->child->closeInput(std::string(protocol::kStopLine) + "\n"); }

void Recording::terminate(int signal) { state_->child->kill(signal); }

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
