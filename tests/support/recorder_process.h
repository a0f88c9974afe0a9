#pragma once

// The real recorder binary as a child process, driven the way its parent application
// drives it: operands, environment, "stop" on standard input, signals; every line of
// standard output parsed as a JSON event (a line that is not JSON is an error of the
// binary, so it throws), standard error collected.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "support/pulse_server.h"
#include "support/spawn.h"

namespace talvora::testing {

// The binary under test, from the build (TALVORA_AUDIO_BINARY).
std::string recorderBinary();

struct RecorderOptions {
  std::vector<std::string> operands;  // OUTPUT MAX_SECONDS TRANSCRIBE
  Environment environment;
  std::optional<uid_t> uid;
  std::optional<gid_t> gid;
  std::string workingDirectory;
  // Programs that start the recorder, placed before it on the command line (a shell
  // that sets a resource limit, a signal disposition or a redirection, as a parent
  // application might). Each must exec the rest of its arguments, so that the process
  // is still the recorder: same pid, same standard streams.
  std::vector<std::string> launcher;
};

class RecorderProcess {
 public:
  using Clock = std::chrono::steady_clock;
  using Json = nlohmann::json;

  explicit RecorderProcess(RecorderOptions options);
  // Kills the process if it still runs.
  ~RecorderProcess();

  RecorderProcess(const RecorderProcess&) = delete;
  RecorderProcess& operator=(const RecorderProcess&) = delete;

  pid_t pid() const { return child_->pid(); }
  Clock::time_point startedAt() const { return started_; }

  // The next event line, parsed, within `timeout`; none at end of output. Throws on a
  // line that is not a JSON object with a string "event", and on timeout.
  std::optional<Json> nextEvent(std::chrono::milliseconds timeout);
  // Reads events until one of `kind` arrives and returns it; throws when the output
  // ends or the timeout passes first (with the events seen so far in the message).
  Json waitForEvent(const std::string& kind, std::chrono::milliseconds timeout);
  // Reads the rest of the output (until the process closes it).
  void readToEnd(std::chrono::milliseconds timeout);
  // Every event read so far, in order.
  const std::vector<Json>& events() const { return events_; }
  std::vector<Json> eventsOfKind(const std::string& kind) const;
  // When each event of `events()` was read.
  const std::vector<Clock::time_point>& eventTimes() const { return times_; }

  void write(const std::string& text);
  void sendStop() { write("stop\n"); }
  void closeInput();
  void signal(int number);

  // The exit status (128 + signal when killed); throws after killing it on timeout.
  int waitForExit(std::chrono::milliseconds timeout);
  // Everything written to standard error; complete once the process has exited.
  std::string standardError();

  std::string describeEvents() const;

 private:
  void readLines(int fd);
  void readError(int fd);

  std::unique_ptr<ChildProcess> child_;
  Clock::time_point started_;
  std::optional<int> status_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> lines_;
  bool outputClosed_ = false;
  std::string error_;
  bool errorClosed_ = false;

  std::vector<Json> events_;
  std::vector<Clock::time_point> times_;
  std::thread outputReader_;
  std::thread errorReader_;
};

}  // namespace talvora::testing
