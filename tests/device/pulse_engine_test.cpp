// The PulseAudio engine in process, against a private server whose microphone is a FIFO
// the test writes: formats, every frame through the tap, stopping from every thread, and a
// server or device that goes away.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cmath>
#include <chrono>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>

#include "platform/pulse/connection.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse/source_query.h"
#include "device/device_test_support.h"
#include "support/fifo_feeder.h"
#include "support/pulse_server.h"

namespace talvora::testing {
namespace {

using namespace std::chrono_literals;
using platform::AudioBufferView;
using platform::AudioEngine;
using platform::AudioFormat;
using platform::Error;
using platform::Result;

// Points libpulse in this process at `server` (it reads the variables for every new
// connection).
void useServer(const PulseServer& server) {
  ::setenv("PULSE_SERVER", server.address().c_str(), 1);
  ::setenv("PULSE_COOKIE", server.cookiePath().c_str(), 1);
}

// Gathers what the tap receives, per channel.
class Collector {
 public:
  void operator()(const AudioBufferView& buffer) {
    std::lock_guard lock(mutex_);
    ++calls_;
    if (buffer.channels == nullptr) {
      ++nullBuffers_;
      return;
    }
    if (channels_.size() < buffer.channelCount) channels_.resize(buffer.channelCount);
    channelCounts_ |= 1u << buffer.channelCount;
    largest_ = std::max(largest_, buffer.frameLength);
    for (uint32_t c = 0; c < buffer.channelCount; ++c) {
      channels_[c].insert(channels_[c].end(), buffer.channels[c], buffer.channels[c] + buffer.frameLength);
    }
    arrivals_.emplace_back(std::chrono::steady_clock::now(), channels_[0].size());
    changed_.notify_all();
  }

  // When the call that brought frame number `frame` (counting from 0) came.
  std::chrono::steady_clock::time_point arrivalOf(size_t frame) {
    std::lock_guard lock(mutex_);
    for (const auto& [at, total] : arrivals_) {
      if (total > frame) return at;
    }
    return {};
  }

  bool waitForFrames(size_t frames, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !channels_.empty() && channels_[0].size() >= frames; });
  }

  std::vector<std::vector<float>> channels() {
    std::lock_guard lock(mutex_);
    return channels_;
  }
  size_t frames() {
    std::lock_guard lock(mutex_);
    return channels_.empty() ? 0 : channels_[0].size();
  }
  int calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  uint32_t largest() {
    std::lock_guard lock(mutex_);
    return largest_;
  }
  // Bit n set when a buffer with n channels arrived.
  uint32_t channelCounts() {
    std::lock_guard lock(mutex_);
    return channelCounts_;
  }
  int nullBuffers() {
    std::lock_guard lock(mutex_);
    return nullBuffers_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::vector<float>> channels_;
  int calls_ = 0;
  int nullBuffers_ = 0;
  uint32_t largest_ = 0;
  uint32_t channelCounts_ = 0;
  std::vector<std::pair<std::chrono::steady_clock::time_point, size_t>> arrivals_;
};

// Counts interruption reports and keeps the last description.
struct Interruptions {
  std::mutex mutex;
  std::condition_variable changed;
  int count = 0;
  std::string description;

  auto handler() {
    return [this](const std::string& text) {
      std::lock_guard lock(mutex);
      ++count;
      description = text;
      changed.notify_all();
    };
  }
  bool waitForOne(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, timeout, [&] { return count > 0; });
  }
};

// What the tap received is `fed`, frame for frame on every channel, in blocks no longer
// than the engine's own buffers.
void expectEveryFrameOnce(Collector& collector, const Audio& fed, float tolerance) {
  const auto got = collector.channels();
  ASSERT_EQ(got.size(), fed.channels);
  EXPECT_EQ(collector.channelCounts(), 1u << fed.channels);
  EXPECT_LE(collector.largest(), platform::kMaxTapFrames) << "a delivery longer than the engine's own buffers";
  for (unsigned c = 0; c < fed.channels; ++c) {
    ASSERT_EQ(got[c].size(), fed.frames()) << "channel " << c;
    size_t mismatches = 0;
    for (size_t i = 0; i < fed.frames(); ++i) {
      if (std::fabs(got[c][i] - fed.samples[i * fed.channels + c]) > tolerance) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u) << "channel " << c;
  }
}

void feedAndDrain(FifoFeeder& feeder, const Audio& audio, FifoFeeder::Pace pace = FifoFeeder::Pace::asFastAsPossible) {
  feeder.feed(audio, pace);
  ASSERT_TRUE(feeder.waitUntilDrained(10s)) << "the server stopped reading its FIFO";
}

TEST(PulseEngineFormat, ReportsTheDefaultSourcesNativeRateAndChannels) {
  for (auto [rate, channels, sampleFormat] : {std::tuple{48000u, 2u, "float32le"}, std::tuple{44100u, 1u, "s16le"},
                                             std::tuple{22050u, 6u, "float32le"}}) {
    PulseServer server({.rate = rate, .channels = channels, .sampleFormat = sampleFormat});
    useServer(server);
    auto engine = platform::makePulseEngine();
    const Result<AudioFormat> format = engine->inputNode().inputFormat();
    ASSERT_TRUE(format) << format.error().description;
    EXPECT_EQ(format.value().sampleRate, rate);
    EXPECT_EQ(format.value().channelCount, channels);
  }
}

TEST(PulseEngineFormat, NoServerMeansNoFormatAndStartSaysWhy) {
  const std::string directory = makeTemporaryDirectory("talvora-noserver", 0755);
  ::setenv("PULSE_SERVER", ("unix:" + directory + "/nothing-listens-here").c_str(), 1);
  auto engine = platform::makePulseEngine();
  const Result<AudioFormat> format = engine->inputNode().inputFormat();
  ASSERT_FALSE(format);
  EXPECT_EQ(format.error().description, "Cannot connect to the sound server: Connection refused");
  auto started = engine->start();
  ASSERT_TRUE(started.has_value());
  EXPECT_NE(started->description.find("sound server"), std::string::npos) << started->description;
  engine->stop();
  engine->stop();
  ::rmdir(directory.c_str());
}

// A server that accepts the connection and then never answers (here: stopped) costs
// one timeout, not a hang; later calls fail at once with the same reason. Microphone
// access, asked at the same time, answers "granted" when its own timeout passes.
TEST(PulseEngineFormat, ServerThatNeverAnswersTimesOutOnce) {
  PulseServer server;
  useServer(server);
  ASSERT_EQ(::kill(server.pid(), SIGSTOP), 0);
  struct Resume {
    pid_t pid;
    ~Resume() { ::kill(pid, SIGCONT); }
  } resume{server.pid()};

  auto access = std::make_shared<std::promise<bool>>();
  auto answer = access->get_future();
  // Kept for the whole test: the access object waits for its answer when it goes.
  auto microphone = platform::makePulseMicrophoneAccess();
  microphone->requestAccess([access](bool granted) { access->set_value(granted); });
  auto engine = platform::makePulseEngine();
  const Result<AudioFormat> format = engine->inputNode().inputFormat();
  ASSERT_FALSE(format);
  EXPECT_NE(format.error().description.find("Timeout"), std::string::npos) << format.error().description;
  auto started = engine->start();
  ASSERT_TRUE(started.has_value());
  EXPECT_NE(started->description.find("Timeout"), std::string::npos) << started->description;
  ASSERT_EQ(answer.wait_for(20s), std::future_status::ready);
  EXPECT_TRUE(answer.get());
}

TEST(PulseEngineFormat, ServerWithoutAnyMicrophoneMeansNoFormat) {
  PulseServer server({.microphone = false});
  useServer(server);
  auto engine = platform::makePulseEngine();
  const Result<AudioFormat> format = engine->inputNode().inputFormat();
  ASSERT_FALSE(format);
  EXPECT_NE(format.error().description.find("no default microphone"), std::string::npos) << format.error().description;
  EXPECT_TRUE(engine->start().has_value());
}

// Every fed frame reaches the tap once, in order, on the right channel. (The pipe source
// reads its FIFO in 4096-byte blocks and aborts the server on a frame size that does not
// divide them, hence no 3-channel float case here.)
TEST(PulseEngineDelivery, EveryFrameArrivesOnceOnItsOwnChannel) {
  for (auto [rate, channels, sampleFormat] : {std::tuple{48000u, 2u, "float32le"}, std::tuple{44100u, 1u, "s16le"},
                                             std::tuple{16000u, 4u, "float32le"}}) {
    SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels, " + sampleFormat);
    PulseServer server({.rate = rate, .channels = channels, .sampleFormat = sampleFormat});
    useServer(server);
    auto engine = platform::makePulseEngine();
    Collector collector;
    engine->inputNode().installTap(2048, std::ref(collector));
    ASSERT_FALSE(engine->start().has_value());

    const Audio fed = rampSignal(rate, channels, rate * 2 + 123, 1000);
    FifoFeeder feeder(server);
    feedAndDrain(feeder, fed);
    ASSERT_TRUE(collector.waitForFrames(fed.frames(), 10s)) << "got " << collector.frames() << " of " << fed.frames();
    engine->inputNode().removeTap();
    engine->stop();

    expectEveryFrameOnce(collector, fed, std::string(sampleFormat) == "s16le" ? 1.0f / 32768 : 0.0f);
  }
}

// A source with a backlog (here: a FIFO fed before anyone recorded) hands it over as
// fast as the server reads: the engine merges it into few long deliveries instead of one
// per fragment, and still delivers every frame once, in order.
TEST(PulseEngineDelivery, ABacklogHandedOverAtOnceComesInFewLongBuffers) {
  for (double seconds : {0.5, 1.5}) {
    SCOPED_TRACE(std::to_string(seconds) + " s waiting");
    PulseServer server;
    useServer(server);
    const Audio fed = rampSignal(48000, 2, static_cast<size_t>(48000 * seconds), 1000);
    FifoFeeder feeder(server);
    feeder.feed(fed, FifoFeeder::Pace::asFastAsPossible);
    std::this_thread::sleep_for(100ms);  // The FIFO fills up; the rest waits in the feeder.
    Collector collector;
    auto engine = platform::makePulseEngine();
    engine->inputNode().installTap(2048, std::ref(collector));
    ASSERT_FALSE(engine->start().has_value());
    ASSERT_TRUE(feeder.waitUntilDrained(10s));
    ASSERT_TRUE(collector.waitForFrames(fed.frames(), 10s)) << collector.frames();
    engine->inputNode().removeTap();
    engine->stop();
    expectEveryFrameOnce(collector, fed, 0);
    RecordProperty("deliveries" + std::to_string(std::lround(seconds * 10)), collector.calls());
    std::printf("%.1f s backlog: %d deliveries, the longest %u frames\n", seconds, collector.calls(), collector.largest());
    // One block per slot would be 12 and 36; the slots are eight.
    EXPECT_LE(collector.calls(), 5);
  }
}

TEST(PulseEngineStop, RemoveTapAndStopAreSafeToRepeatAndEndDeliveries) {
  PulseServer server;
  useServer(server);
  auto engine = platform::makePulseEngine();
  auto& input = engine->inputNode();
  input.removeTap();  // Nothing installed, nothing running.
  engine->stop();
  Collector collector;
  input.installTap(2048, std::ref(collector));
  ASSERT_FALSE(engine->start().has_value());
  ASSERT_FALSE(engine->start().has_value()) << "starting a running engine changes nothing";
  FifoFeeder feeder(server);
  feedAndDrain(feeder, rampSignal(48000, 2, 4800));
  ASSERT_TRUE(collector.waitForFrames(4800, 10s));
  input.removeTap();
  input.removeTap();
  const int calls = collector.calls();
  feedAndDrain(feeder, rampSignal(48000, 2, 48000));
  std::this_thread::sleep_for(200ms);  // Time for deliveries that should not happen.
  EXPECT_EQ(collector.calls(), calls) << "the tap ran after removeTap returned";
  engine->stop();
  engine->stop();
}

TEST(PulseEngineStop, StoppingFromInsideTheTapNeitherHangsNorDeliversAgain) {
  PulseServer server;
  useServer(server);
  auto engine = platform::makePulseEngine();
  auto& input = engine->inputNode();
  std::atomic<int> calls{0};
  input.installTap(2048, [&](const AudioBufferView&) {
    if (calls.fetch_add(1) == 0) {
      input.removeTap();
      engine->stop();
      engine->stop();
    }
  });
  ASSERT_FALSE(engine->start().has_value());
  FifoFeeder feeder(server);
  // Less than the FIFO holds: once stopped, nothing records and the pipe source stops
  // reading until something does.
  feeder.feed(rampSignal(48000, 2, 6000), FifoFeeder::Pace::asFastAsPossible);
  std::this_thread::sleep_for(300ms);  // Time for deliveries that should not happen.
  EXPECT_EQ(calls.load(), 1);
  // The engine starts again after a stop from the audio thread, and what waited in the
  // FIFO arrives.
  input.installTap(2048, [&](const AudioBufferView&) { calls.fetch_add(1); });
  ASSERT_FALSE(engine->start().has_value());
  feedAndDrain(feeder, rampSignal(48000, 2, 4800));
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (calls.load() == 1 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  EXPECT_GT(calls.load(), 1);
}

TEST(PulseEngineStop, DestroyingTheEngineInsideTheTapLetsGoOfTheServer) {
  PulseServer server;
  useServer(server);
  auto engine = platform::makePulseEngine();
  auto& input = engine->inputNode();
  std::atomic<int> calls{0};
  std::atomic<bool> destroyed{false};
  input.installTap(2048, [&](const AudioBufferView&) {
    if (calls.fetch_add(1) == 0) {
      engine.reset();
      destroyed = true;
    }
  });
  ASSERT_FALSE(engine->start().has_value());
  const std::string ours = "application.name = \"talvora-audio\"";
  ASSERT_NE(server.pactl({"list", "clients"}).find(ours), std::string::npos);
  FifoFeeder feeder(server);
  // Less than the FIFO holds: once the engine is gone nobody records, and the pipe
  // source stops reading.
  feeder.feed(rampSignal(48000, 2, 4800), FifoFeeder::Pace::asFastAsPossible);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!destroyed && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(destroyed);
  // The loop is stopped by a thread of its own once the callback has returned; then the
  // server sees the client go.
  std::string clients;
  while (std::chrono::steady_clock::now() < deadline) {
    clients = server.pactl({"list", "clients"});
    if (clients.find(ours) == std::string::npos) break;
    std::this_thread::sleep_for(10ms);
  }
  EXPECT_EQ(clients.find(ours), std::string::npos) << clients;
  EXPECT_EQ(calls.load(), 1);
}

// Gathers the reference tap's deliveries and the delay hints.
struct ReferenceCollector {
  Collector collector;
  std::atomic<double> smallestDelayMs{1e9};
  std::atomic<double> largestDelayMs{-1e9};
  std::atomic<double> lastDelayMs{0};
  auto handler() {
    return [this](const AudioBufferView& buffer, double delayMs) {
      collector(buffer);
      smallestDelayMs = std::min(smallestDelayMs.load(), delayMs);
      largestDelayMs = std::max(largestDelayMs.load(), delayMs);
      lastDelayMs = delayMs;
    };
  }
};

// An engine on the test's server, started, whose tap and interruptions are collected;
// with `far`, the speakers' frames too.
struct StartedEngine {
  explicit StartedEngine(std::unique_ptr<AudioEngine> made, ReferenceCollector* far = nullptr)
      : engine(std::move(made)) {
    if (far) farEndOffered = engine->inputNode().installReferenceTap(far->handler());
    engine->inputNode().setInterruptionHandler(interruptions.handler());
    engine->inputNode().installTap(2048, std::ref(collector));
    started = !engine->start().has_value();
  }
  ~StartedEngine() {
    engine->inputNode().removeTap();
    engine->stop();
  }
  int interruptionCount() {
    std::lock_guard lock(interruptions.mutex);
    return interruptions.count;
  }

  Collector collector;
  Interruptions interruptions;
  std::unique_ptr<AudioEngine> engine;
  bool farEndOffered = false;
  bool started = false;
};

bool allZero(const std::vector<float>& samples, size_t from, size_t to) {
  return std::all_of(samples.begin() + from, samples.begin() + to, [](float v) { return v == 0.0f; });
}

double secondsOf(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A server that does not come back within the window: the tap keeps time with silence
// until the window ends, then one report with the reason the server went, and nothing
// more. (The window is shortened here; the recorder's own ten seconds are the binary's
// test.)
TEST(PulseEngineInterruption, ServerThatStaysAwayIsReportedOnceWhenTheWindowEnds) {
  auto server = std::make_unique<PulseServer>();
  useServer(*server);
  StartedEngine running(platform::makePulseEngineReconnectingFor(1s));
  ASSERT_TRUE(running.started);
  {
    FifoFeeder feeder(*server);
    feedAndDrain(feeder, rampSignal(48000, 2, 4800));
  }
  ASSERT_TRUE(running.collector.waitForFrames(4800, 10s));
  const auto killed = std::chrono::steady_clock::now();
  server->kill();
  ASSERT_TRUE(running.interruptions.waitForOne(10s));
  const double reportedAfter = secondsOf(std::chrono::steady_clock::now() - killed);
  const size_t framesAtReport = running.collector.frames();
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(running.interruptionCount(), 1);
  {
    std::lock_guard lock(running.interruptions.mutex);
    EXPECT_EQ(running.interruptions.description, "Connection terminated");
  }
  EXPECT_GE(reportedAfter, 0.9) << "reported before the window ended";
  EXPECT_LT(reportedAfter, 2.0);
  const auto got = running.collector.channels();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].size(), framesAtReport) << "the tap ran after the report";
  // Silence for the window, less the block held back for a stream that might return.
  // The feed ends 4800 frames after its first sample (which is not 0), wherever it
  // began: PipeWire's graph may start the stream with a little silence of its own.
  const size_t fedFrom = static_cast<size_t>(
      std::find_if(got[0].begin(), got[0].end(), [](float v) { return v != 0.0f; }) - got[0].begin());
  const size_t fedUntil = fedFrom + 4800;
  ASSERT_LE(fedUntil, got[0].size());
  const double silence = (static_cast<double>(got[0].size()) - static_cast<double>(fedUntil)) / 48000;
  EXPECT_GT(silence, 0.8);
  EXPECT_LT(silence, 1.1);
  // Under load PipeWire's graph may also leave a gap inside the feed, pushing its end
  // back by up to a quantum; PulseAudio's pipe source delivers it exactly.
  const size_t slack = server->microphoneWaitsForTheFeeder() ? 0 : 2048;
  ASSERT_LE(fedUntil + slack, got[0].size());
  EXPECT_TRUE(allZero(got[0], fedUntil + slack, got[0].size()) && allZero(got[1], fedUntil + slack, got[1].size()));
}

// A server that comes back: what it records after the restart follows the silence that
// covers the time it was away, with no report. The FIFO keeps what is fed before the
// engine is back (a live microphone would lose it), so the silence ends where the
// server's first audio began, and its length is the server's time away. The server
// goes while the end of the first feed, short of a block, is still being gathered:
// those frames were read from the microphone and come before the silence.
TEST(PulseEngineInterruption, ServerThatComesBackIsRecordedAgainAfterSilenceForItsTimeAway) {
  auto server = std::make_unique<PulseServer>();
  useServer(*server);
  StartedEngine running(platform::makePulseEngine());
  ASSERT_TRUE(running.started);
  const Audio before = rampSignal(48000, 2, 4800, 1000);
  {
    FifoFeeder feeder(*server);
    feedAndDrain(feeder, before, FifoFeeder::Pace::realTime);
  }
  // Two whole blocks are out; the last 704 frames wait 100 ms for more.
  ASSERT_TRUE(running.collector.waitForFrames(4096, 10s));
  std::this_thread::sleep_for(10ms);
  ASSERT_LT(running.collector.frames(), before.frames()) << "the end of the feed went out before the server did";
  const auto killed = std::chrono::steady_clock::now();
  server->kill();
  std::this_thread::sleep_for(300ms);
  server->restart();
  const auto answering = std::chrono::steady_clock::now();
  const Audio after = rampSignal(48000, 2, 24000, 3000);
  FifoFeeder feeder(*server);
  feedAndDrain(feeder, after, FifoFeeder::Pace::realTime);
  // The last partial block goes out once nothing completes it.
  std::this_thread::sleep_for(300ms);
  running.engine->stop();

  EXPECT_EQ(running.interruptionCount(), 0);
  const auto got = running.collector.channels();
  ASSERT_EQ(got.size(), 2u);
  ASSERT_GT(got[0].size(), before.frames() + after.frames()) << "no silence for the time away";
  const size_t silent = got[0].size() - before.frames() - after.frames();
  for (unsigned c = 0; c < 2; ++c) {
    SCOPED_TRACE("channel " + std::to_string(c));
    for (size_t i = 0; i < before.frames(); ++i) ASSERT_EQ(got[c][i], before.samples[i * 2 + c]) << i;
    EXPECT_TRUE(allZero(got[c], before.frames(), before.frames() + silent));
    for (size_t i = 0; i < after.frames(); ++i) {
      ASSERT_EQ(got[c][before.frames() + silent + i], after.samples[i * 2 + c]) << i;
    }
  }
  const double silenceSeconds = static_cast<double>(silent) / 48000;
  const double away = secondsOf(answering - killed);
  const double back = secondsOf(running.collector.arrivalOf(before.frames() + silent) - answering);
  RecordProperty("silenceMs", std::to_string(std::lround(silenceSeconds * 1000)));
  RecordProperty("serverAwayMs", std::to_string(std::lround(away * 1000)));
  RecordProperty("firstAudioAfterTheServerAnsweredMs", std::to_string(std::lround(back * 1000)));
  std::printf("silence %.0f ms for a server away %.0f ms; its first audio %.0f ms after it answered\n",
              silenceSeconds * 1000, away * 1000, back * 1000);
  EXPECT_NEAR(silenceSeconds, away, 0.1) << "the silence does not match the time away";
}

TEST(PulseEngineInterruption, RemovedMicrophoneIsReportedOnce) {
  PulseServer server;
  useServer(server);
  auto engine = platform::makePulseEngine();
  auto& input = engine->inputNode();
  Interruptions interruptions;
  input.setInterruptionHandler(interruptions.handler());
  input.installTap(2048, [](const AudioBufferView&) {});
  ASSERT_FALSE(engine->start().has_value());
  server.pactl({"unload-module", "module-pipe-source"});
  ASSERT_TRUE(interruptions.waitForOne(10s));
  std::this_thread::sleep_for(100ms);
  {
    std::lock_guard lock(interruptions.mutex);
    EXPECT_EQ(interruptions.count, 1);
    EXPECT_FALSE(interruptions.description.empty());
  }
  engine->stop();
}

TEST(PulseEngineInterruption, StartFailsClearlyWhenTheMicrophoneVanishedAfterItsFormatWasRead) {
  PulseServer server;
  useServer(server);
  auto engine = platform::makePulseEngine();
  auto& input = engine->inputNode();
  const Result<AudioFormat> format = input.inputFormat();
  ASSERT_TRUE(format);
  ASSERT_EQ(format.value().sampleRate, 48000);
  input.installTap(2048, [](const AudioBufferView&) {});
  server.pactl({"unload-module", "module-pipe-source"});
  auto started = engine->start();
  ASSERT_TRUE(started.has_value());
  EXPECT_NE(started->description.find(server.sourceName()), std::string::npos) << started->description;
}

// ---- the echo canceller's far end: the default sink's monitor ----------------------------

// The speakers at 44.1 kHz stereo, the microphone at 48 kHz: the far end arrives mono at
// the microphone's rate on the reference tap while every microphone frame still arrives
// once; when the speakers go, the reference ends and the microphone neither stops nor
// reports anything.
TEST(PulseEngineReference, TheSpeakersArriveMonoAtTheMicrophonesRateAndTheirLossLeavesTheMicrophoneAlone) {
  PulseServer server;
  useServer(server);
  server.pactl({"load-module", "module-null-sink", "sink_name=speakers", "rate=44100", "channels=2"});
  server.pactl({"set-default-sink", "speakers"});
  const std::string tone = server.directory() + "/tone.wav";
  std::string output;
  ASSERT_EQ(runCommand({"sox", "-n", "-r", "44100", "-c", "2", tone, "synth", "1", "sine", "1000", "vol", "0.5"},
                       server.clientEnvironment(), &output), 0) << output;

  ReferenceCollector reference;
  StartedEngine running(platform::makePulseEngine(), &reference);
  ASSERT_TRUE(running.farEndOffered);
  ASSERT_TRUE(running.started);
  Collector& microphone = running.collector;

  const Audio fed = rampSignal(48000, 2, 48000 * 4, 1000);
  FifoFeeder feeder(server);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_EQ(runCommand({"paplay", "--device=speakers", tone}, server.clientEnvironment(), &output), 0) << output;
  std::this_thread::sleep_for(300ms);
  server.pactl({"unload-module", "module-null-sink"});
  ASSERT_TRUE(feeder.waitUntilDrained(20s));
  ASSERT_TRUE(microphone.waitForFrames(fed.frames(), 10s)) << microphone.frames() << " of " << fed.frames();
  running.engine->stop();

  expectEveryFrameOnce(microphone, fed, 0);
  EXPECT_EQ(running.interruptionCount(), 0);
  EXPECT_EQ(reference.collector.channelCounts(), 1u << 1);
  const std::vector<float> far = reference.collector.channels().at(0);
  // The tone: as loud as played (the mono mix of two equal channels), and at 1000 Hz
  // counted in the microphone's rate (at 44.1 kHz unconverted it would read 1088 Hz).
  size_t first = far.size(), last = 0;
  for (size_t i = 0; i < far.size(); ++i) {
    if (std::fabs(far[i]) > 0.1f) first = std::min(first, i), last = i;
  }
  ASSERT_GT(last, first + 40000) << "the tone did not reach the reference";
  size_t crossings = 0;
  double power = 0;
  for (size_t i = first + 1; i <= last; ++i) {
    power += double(far[i]) * far[i];
    if ((far[i - 1] < 0) != (far[i] < 0)) ++crossings;
  }
  EXPECT_NEAR(crossings * 48000.0 / 2 / double(last - first), 1000, 10);
  EXPECT_NEAR(std::sqrt(power / double(last - first)), 0.5 / std::sqrt(2), 0.03);
  // Once both streams run, their latencies differ by tens of milliseconds, not seconds.
  EXPECT_TRUE(std::isfinite(reference.lastDelayMs.load()));
  EXPECT_LT(std::fabs(reference.lastDelayMs.load()), 500) << reference.smallestDelayMs << " to " << reference.largestDelayMs;
  // After the speakers went, nothing more arrived.
  const size_t frames = reference.collector.frames();
  EXPECT_LT(frames, 48000u * 6);
}

// A server that restarts comes back with its sinks: once the microphone records again,
// so does the far end, and what the speakers then play reaches the reference tap.
TEST(PulseEngineReference, ARestartedServersSpeakersAreTheFarEndAgain) {
  auto server = std::make_unique<PulseServer>(PulseServerOptions{.nullSink = true});
  useServer(*server);
  TemporaryDirectory files;
  const std::string tone = files / "tone.wav";
  std::string output;
  ASSERT_EQ(runCommand({"sox", "-n", "-r", "48000", "-c", "1", tone, "synth", "1", "sine", "500", "vol", "0.5"},
                       server->clientEnvironment(), &output), 0) << output;
  ReferenceCollector reference;
  StartedEngine running(platform::makePulseEngine(), &reference);
  ASSERT_TRUE(running.farEndOffered);
  ASSERT_TRUE(running.started);
  Collector& microphone = running.collector;
  {
    FifoFeeder feeder(*server);
    feedAndDrain(feeder, rampSignal(48000, 2, 4800));
  }
  ASSERT_TRUE(microphone.waitForFrames(4800, 10s));
  server->kill();
  std::this_thread::sleep_for(300ms);
  server->restart();
  const size_t farBefore = reference.collector.frames();
  {
    // The microphone records again before anything is played.
    const size_t near = microphone.frames();
    FifoFeeder feeder(*server);
    feedAndDrain(feeder, rampSignal(48000, 2, 24000), FifoFeeder::Pace::realTime);
    ASSERT_TRUE(microphone.waitForFrames(near + 24000, 10s));
  }
  ASSERT_EQ(runCommand({"paplay", "--device=" + server->nullSinkName(), tone}, server->clientEnvironment(), &output),
            0) << output;
  std::this_thread::sleep_for(300ms);
  running.engine->stop();

  EXPECT_EQ(running.interruptionCount(), 0);
  const auto channels = reference.collector.channels();
  ASSERT_FALSE(channels.empty()) << "the far end never delivered";
  const std::vector<float>& far = channels.front();
  ASSERT_GE(far.size(), farBefore);
  const auto loud = std::count_if(far.begin() + static_cast<std::ptrdiff_t>(farBefore), far.end(),
                                  [](float v) { return std::fabs(v) > 0.1f; });
  EXPECT_GT(loud, 20000) << "the restarted server's speakers did not reach the far end";
}

TEST(PulseEngineReference, NoSinkOrAMicrophoneThatIsTheSinksMonitorOffersNone) {
  ReferenceCollector reference;
  {
    PulseServer server;  // A microphone and no sink at all.
    useServer(server);
    auto engine = platform::makePulseEngine();
    EXPECT_FALSE(engine->inputNode().installReferenceTap(reference.handler()));
    // Only the servers' stand-in for no output device.
    server.pactl({"load-module", "module-null-sink", "sink_name=auto_null"});
    server.pactl({"set-default-sink", "auto_null"});
    EXPECT_FALSE(platform::makePulseEngine()->inputNode().installReferenceTap(reference.handler()));
  }
  {
    // Recording what the speakers play: cancelling it would cancel the recording.
    PulseServer server({.nullSink = true, .monitorIsDefault = true});
    useServer(server);
    server.pactl({"set-default-sink", "talvora_null"});
    auto engine = platform::makePulseEngine();
    EXPECT_FALSE(engine->inputNode().installReferenceTap(reference.handler()));
    engine->inputNode().installTap(2048, [](const AudioBufferView&) {});
    ASSERT_FALSE(engine->start().has_value());
    std::this_thread::sleep_for(300ms);
    engine->stop();
  }
  {
    // The same sink beside a microphone of its own: offered.
    PulseServer server({.nullSink = true});
    useServer(server);
    server.pactl({"set-default-sink", "talvora_null"});
    auto engine = platform::makePulseEngine();
    EXPECT_TRUE(engine->inputNode().installReferenceTap([](const AudioBufferView&, double) {}));
  }
  EXPECT_EQ(reference.collector.calls(), 0);
}

// What the engine is built from, as an echo canceller's reference and a reconnection
// will use it: record streams on one connection each gather on their own, and a stream
// opens again on the context that replaced one the server dropped.
struct StreamSink final : platform::pulse::RecordStream::Sink {
  Collector collector;
  Interruptions failures;
  void deliver(const AudioBufferView& buffer) override { collector(buffer); }
  void streamFailed(const char* reason) override { failures.handler()(reason); }
};

Result<platform::pulse::SourceInfo> openOnDefaultSource(platform::pulse::Connection& connection,
                                                         platform::pulse::RecordStream& stream, uint32_t frames) {
  platform::pulse::Connection::Lock lock(connection);
  auto source = platform::pulse::querySource(connection, nullptr);
  if (!source) return source.error();
  if (auto failed = stream.openLocked(source.value(), nullptr, frames)) return *failed;
  return source;
}

TEST(PulseRecordStream, TwoStreamsOnOneConnectionEachGetEveryFrame) {
  PulseServer server;
  useServer(server);
  platform::pulse::Connection connection;
  ASSERT_FALSE(connection.connect().has_value());
  StreamSink first;
  StreamSink second;
  platform::pulse::RecordStream one(connection, first, "first", "the first source");
  platform::pulse::RecordStream two(connection, second, "second", "the second source");
  for (auto [stream, frames] : {std::pair{&one, 2048u}, std::pair{&two, 480u}}) {
    auto opened = openOnDefaultSource(connection, *stream, frames);
    ASSERT_TRUE(opened) << opened.error().description;
  }
  const Audio fed = rampSignal(48000, 2, 48000 + 123, 1000);
  FifoFeeder feeder(server);
  feedAndDrain(feeder, fed);
  for (StreamSink* sink : {&first, &second}) {
    ASSERT_TRUE(sink->collector.waitForFrames(fed.frames(), 10s)) << sink->collector.frames();
  }
  {
    platform::pulse::Connection::Lock lock(connection);
    one.closeLocked();
    two.closeLocked();
  }
  expectEveryFrameOnce(first.collector, fed, 0);
  expectEveryFrameOnce(second.collector, fed, 0);
}

TEST(PulseRecordStream, OpensAgainOnTheConnectionMadeAfterTheServerRestarted) {
  auto server = std::make_unique<PulseServer>();
  useServer(*server);
  platform::pulse::Connection connection;
  std::atomic<int> lost{0};
  connection.setLostHandler([&](int) { ++lost; });
  StreamSink sink;
  platform::pulse::RecordStream stream(connection, sink, "Voice note", "the microphone");
  ASSERT_FALSE(connection.connect().has_value());
  ASSERT_TRUE(openOnDefaultSource(connection, stream, 2048));
  server->kill();
  ASSERT_TRUE(sink.failures.waitForOne(10s));
  {
    platform::pulse::Connection::Lock lock(connection);
    EXPECT_FALSE(stream.runningLocked());
    EXPECT_FALSE(connection.connectedLocked());
    stream.closeLocked();
  }
  {
    std::lock_guard lock(sink.failures.mutex);
    EXPECT_EQ(sink.failures.description, "Connection terminated");
  }
  EXPECT_EQ(lost.load(), 1);

  PulseServer restarted;
  useServer(restarted);
  ASSERT_FALSE(connection.connect().has_value());
  ASSERT_TRUE(openOnDefaultSource(connection, stream, 2048));
  const Audio fed = rampSignal(48000, 2, 4800);
  FifoFeeder feeder(restarted);
  feedAndDrain(feeder, fed);
  ASSERT_TRUE(sink.collector.waitForFrames(fed.frames(), 10s));
  {
    platform::pulse::Connection::Lock lock(connection);
    stream.closeLocked();
  }
  EXPECT_EQ(sink.collector.frames(), fed.frames());
  std::lock_guard lock(sink.failures.mutex);
  EXPECT_EQ(sink.failures.count, 1);
  EXPECT_EQ(lost.load(), 1);
}

TEST(PulseMicrophoneAccess, AnswersOnceAndGrantsWhenTheServerAdmitsUsOrIsAbsent) {
  auto ask = [] {
    auto access = platform::makePulseMicrophoneAccess();
    std::mutex mutex;
    std::condition_variable answered;
    std::vector<bool> answers;
    access->requestAccess([&](bool granted) {
      std::lock_guard lock(mutex);
      answers.push_back(granted);
      answered.notify_all();
    });
    std::unique_lock lock(mutex);
    EXPECT_TRUE(answered.wait_for(lock, 10s, [&] { return !answers.empty(); }));
    answered.wait_for(lock, 100ms, [&] { return answers.size() > 1; });
    EXPECT_EQ(answers.size(), 1u);
    return !answers.empty() && answers[0];
  };
  {
    PulseServer server({.requireCookie = true});
    useServer(server);
    EXPECT_TRUE(ask()) << "root is admitted by its credentials";
  }
  const std::string directory = makeTemporaryDirectory("talvora-noserver", 0755);
  ::setenv("PULSE_SERVER", ("unix:" + directory + "/nothing-listens-here").c_str(), 1);
  EXPECT_TRUE(ask()) << "no server is not a refusal";
  ::rmdir(directory.c_str());
}

// The answering thread is the access object's own: gone with the object, also when the
// handler drops the last reference on that thread (which cannot join itself).
TEST(PulseMicrophoneAccess, GoingAwayWaitsForTheAnswerAlsoFromInsideIt) {
  PulseServer server;
  useServer(server);
  std::atomic<int> answers{0};
  platform::makePulseMicrophoneAccess()->requestAccess([&](bool) {
    std::this_thread::sleep_for(50ms);
    ++answers;
  });
  EXPECT_EQ(answers.load(), 1) << "the answer was still to come when the access object was gone";

  auto gone = std::make_shared<std::promise<void>>();
  auto finished = gone->get_future();
  auto access = platform::makePulseMicrophoneAccess();
  auto* asked = access.get();
  asked->requestAccess([keep = std::move(access), gone](bool) mutable {
    keep.reset();
    gone->set_value();
  });
  EXPECT_EQ(finished.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace talvora::testing
