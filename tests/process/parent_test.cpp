// What the parent application does to its recorder besides "stop": signals, closing
// the pipes it reads and writes (as a parent that crashes does), killing it outright.
// Every case ends with the file on disk checked against what the microphone was fed.

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <thread>

#include "process/process_support.h"
#include "support/spawn.h"

namespace talvora::testing {
namespace {

// ---------------------------------------------------------------------------------------
// SIGINT (Ctrl-C in a terminal), SIGTERM (a parent or service manager ending it), SIGHUP
// (the terminal or the parent's session going away) all stop it the way "stop" does.

TEST(StopSignals, EachStopSignalFinishesNormallyWithAClosedFile) {
  const std::vector<std::pair<int, std::string>> signals = {{SIGINT, "SIGINT"}, {SIGTERM, "SIGTERM"}, {SIGHUP, "SIGHUP"}};
  Drill drill(false);
  const ScratchDirectory& out = drill.out;
  // One recorder per signal on the same microphone: they hear the same feed and take
  // their finishing second together.
  std::vector<std::unique_ptr<RecorderProcess>> recorders;
  for (const auto& [number, name] : signals) {
    recorders.push_back(std::make_unique<RecorderProcess>(recorderOn(drill.server, out / (name + ".wav"))));
  }
  for (auto& r : recorders) r->waitForEvent("ready", 15s);
  FifoFeeder& feeder = drill.microphone();
  const Audio fed = speechLikeSignal(kRate, kChannels, 0.5);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(15s));
  for (size_t i = 0; i < signals.size(); ++i) {
    const std::string path = out / (signals[i].second + ".wav");
    EXPECT_TRUE(waitForFileFrames(path, static_cast<int64_t>(fed.frames()), 15s)) << signals[i].second;
    recorders[i]->signal(signals[i].first);
  }
  for (size_t i = 0; i < signals.size(); ++i) {
    SCOPED_TRACE(signals[i].second);
    RecorderProcess& recorder = *recorders[i];
    const Json finished = recorder.waitForEvent("finished", 15s);
    EXPECT_GT(numberOf(finished, "durationSeconds"), 0.0);
    EXPECT_EQ(recorder.waitForExit(15s), 0);
    EXPECT_EQ(recorder.standardError(), "");
    EXPECT_TRUE(recorder.eventsOfKind("error").empty()) << recorder.describeEvents();
    const auto info = expectPlayable(out / (signals[i].second + ".wav"), kRate);
    expectFileHoldsTheFeed(drill.server, framesIn(info), static_cast<int64_t>(fed.frames()));
  }
}

// ---------------------------------------------------------------------------------------
// SIGKILL cannot be caught: what is on disk is whatever the last header update counted.
// The header is rewritten after every write, so the file opens with nearly everything
// fed until the kill.

TEST(Killed, SigkillMidRecordingLeavesAPlayableFileWithTheAudioUpToTheKill) {
  Drill drill;
  const std::string& path = drill.path;
  RecorderProcess& recorder = *drill.recorder;
  FifoFeeder& feeder = drill.microphone();
  const Audio fed = speechLikeSignal(kRate, kChannels, 4.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  // The server reads the FIFO only while the recorder records: a recorder that ended
  // early shows up as a feed that stops moving.
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (feeder.framesWritten() < kRate * 3 / 2) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the feed stalled; events: " << recorder.describeEvents();
    std::this_thread::sleep_for(5ms);
  }
  // What the microphone had heard: written, less what still waited in the FIFO.
  const auto fedAtKill = static_cast<int64_t>(feeder.framesWritten()) - static_cast<int64_t>(feeder.framesQueued());
  recorder.signal(SIGKILL);
  EXPECT_EQ(recorder.waitForExit(15s), 128 + SIGKILL);
  feeder.cancel();

  // No close ran: the header is the one rewritten after the last write but one at worst
  // (a write of one buffer, under a tenth of a second, may have landed after it).
  const auto info = expectPlayable(path, kRate, false, kRate * 4 / 10);
  RecordProperty("framesFedAtKill", std::to_string(fedAtKill));
  RecordProperty("framesOnDisk", std::to_string(framesIn(info)));
  // Up to half a second may still have been on its way (the server's fragment, the
  // hand-over to the writer), never more than was fed (give or take the one 10 ms
  // chunk being written at the kill; a microphone on its own clock also heard silence
  // before the feed began).
  EXPECT_GE(framesIn(info), fedAtKill - kRate / 2);
  if (drill.server.microphoneWaitsForTheFeeder()) {
    EXPECT_LE(framesIn(info), fedAtKill + kRate / 100);
  }
  expectRecordingFollows(path, fed, voiceProcessingWasOff(recorder.events()));
}

// ---------------------------------------------------------------------------------------
// A parent that closes its end of our standard output. The test process ignores SIGPIPE
// (and a child inherits an ignored signal), so the recorder is started through
// `env --default-signal=PIPE`: it starts with the default disposition, the one that
// kills a process on its first write to a closed pipe, and must protect itself.

class ParentHeldRecorder {
 public:
  ParentHeldRecorder(const PulseServer& server, const std::string& output) {
    ::signal(SIGPIPE, SIG_IGN);  // what the recorder must not inherit (see above)
    char errorName[] = "/tmp/talvora-stderr-XXXXXX";
    error_ = ::mkstemp(errorName);
    if (error_ < 0) throw std::runtime_error("mkstemp failed");
    ::unlink(errorName);
    ChildOptions options = testProgram({"env", "--default-signal=PIPE", recorderBinary(), output, "60", "false"},
                                       server.clientEnvironment());
    options.input = options.output = ChildStream::pipe();
    options.error = ChildStream::descriptor(error_);
    options.workingDirectory = server.directory();
    child_ = std::make_unique<ChildProcess>(options);
    waitForEvent("ready", 15s);
  }

  ~ParentHeldRecorder() {
    child_.reset();  // killed and reaped if it still runs
    ::close(error_);
  }

  pid_t pid() const { return child_->pid(); }

  // Reads lines until an event of `kind`; throws on timeout or end of output. The
  // constructor has read up to "ready".
  Json waitForEvent(const std::string& kind, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
      size_t newline;
      while ((newline = pending_.find('\n')) != std::string::npos) {
        Json event = Json::parse(pending_.substr(0, newline));
        pending_.erase(0, newline + 1);
        if (event["event"] == kind) return event;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd readable{child_->output(), POLLIN, 0};
      if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
        throw std::runtime_error("no \"" + kind + "\" event in time");
      }
      char buffer[4096];
      const ssize_t got = ::read(child_->output(), buffer, sizeof buffer);
      if (got <= 0) throw std::runtime_error("output ended before a \"" + kind + "\" event");
      pending_.append(buffer, static_cast<size_t>(got));
    }
  }

  void write(const std::string& text) { ASSERT_TRUE(child_->write(text)) << std::strerror(errno); }
  void closeInput() { child_->closeInput(); }
  // Our read end: the recorder's next event line meets a pipe without a reader.
  void closeOutput() { child_->closeOutput(); }

  bool running() { return !waitForExit(0ms); }
  std::optional<int> waitForExit(std::chrono::milliseconds timeout) {
    if (auto exit = child_->waitFor(timeout)) return exit->code();
    return std::nullopt;
  }
  // Status 0, nothing on standard error, and the file at `path` closed with `frames`.
  void expectCleanExitKeeping(const std::string& path, size_t frames) {
    EXPECT_EQ(waitForExit(15s), std::optional<int>(0));
    EXPECT_EQ(standardError(), "");
    const auto info = expectPlayable(path, kRate);
    EXPECT_EQ(framesIn(info), static_cast<int64_t>(frames));
  }
  std::string standardError() const {
    std::string text;
    char buffer[4096];
    ssize_t got;
    off_t at = 0;
    while ((got = ::pread(error_, buffer, sizeof buffer, at)) > 0) {
      text.append(buffer, static_cast<size_t>(got));
      at += got;
    }
    return text;
  }

 private:
  std::unique_ptr<ChildProcess> child_;
  int error_ = -1;
  std::string pending_;
};

// Whether signal `number` is ignored in the process `pid`, from the SigIgn mask.
bool ignoresSignal(pid_t pid, int number) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("SigIgn:", 0) == 0) return (std::stoull(line.substr(7), nullptr, 16) >> (number - 1)) & 1;
  }
  throw std::runtime_error("no SigIgn for " + std::to_string(pid));
}

// The launcher really gives a child the default disposition: without that the
// recorder's own protection would go untested.
TEST(ParentGoesAway, TheLauncherRestoresTheDefaultDispositionOfSigpipe) {
  ::signal(SIGPIPE, SIG_IGN);
  ChildProcess child(testProgram({"env", "--default-signal=PIPE", "sleep", "5"}, {{"PATH", "/usr/bin:/bin"}}));
  bool ignored = true;
  for (int i = 0; i < 200 && ignored; ++i) {
    std::ifstream exe("/proc/" + std::to_string(child.pid()) + "/comm");
    std::string name;
    exe >> name;
    if (name == "sleep") ignored = ignoresSignal(child.pid(), SIGPIPE);
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_FALSE(ignored);
}

TEST(ParentGoesAway, ClosedOutputLeavesTheRecordingRunningUntilStop) {
  Drill drill(false);
  ParentHeldRecorder recorder(drill.server, drill.path);
  const Audio before = drill.feedAndWait(0.5);

  recorder.closeOutput();
  // A second more of audio: ten level lines meet the closed pipe meanwhile, and all of
  // the audio must still reach the file.
  const Audio after = drill.feedAndWait(1.0, static_cast<int64_t>(before.frames()));
  ASSERT_TRUE(recorder.running()) << "the recorder ended with status " << recorder.waitForExit(0ms).value_or(-1);

  recorder.write("stop\n");
  recorder.expectCleanExitKeeping(drill.path, before.frames() + after.frames());
}

// A parent that crashes closes both pipes at the same moment: the end of input stops
// the recording, and the finishing lines go nowhere without taking the file with them.
TEST(ParentGoesAway, BothPipesClosedAtOnceStopsAndKeepsTheFile) {
  Drill drill(false);
  ParentHeldRecorder recorder(drill.server, drill.path);
  const Audio fed = drill.feedAndWait(1.0);

  recorder.closeOutput();
  recorder.closeInput();
  recorder.expectCleanExitKeeping(drill.path, fed.frames());
}

}  // namespace
}  // namespace talvora::testing
