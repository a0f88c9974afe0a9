// The client library and talvora-record with the real recorder, against a private
// PulseAudio server whose microphone plays what the test feeds it.

#include <gtest/gtest.h>

#include <sndfile.h>

#include <atomic>
#include <chrono>
#include <future>
#include <mutex>

#include "child_scripts.h"
#include "client/recording.h"
#include "support/audio_signals.h"
#include "support/fifo_feeder.h"
#include "support/pulse_server.h"

namespace talvora::client {
namespace {

using namespace std::chrono_literals;
using talvora::testing::FifoFeeder;
using talvora::testing::PulseServer;

std::vector<std::pair<std::string, std::string>> environmentOf(const PulseServer& server) {
  auto environment = server.clientEnvironment();
  return {environment.begin(), environment.end()};
}

TEST(RecordingWithTheRealRecorder, RecordsWhatTheMicrophoneHearsUntilStopped) {
  PulseServer server;
  testing::ScratchFolder folder;
  std::promise<void> ready;
  std::mutex mutex;
  std::vector<Level> levels;

  RecordingOptions options;
  options.executable = TALVORA_AUDIO_BINARY;
  options.output = folder.file("note.caf");
  options.maxSeconds = 60;
  options.environment = environmentOf(server);
  options.onEvent = [&](const Event& event) {
    if (std::holds_alternative<Ready>(event)) ready.set_value();
    if (auto* level = std::get_if<Level>(&event)) {
      std::lock_guard lock(mutex);
      levels.push_back(*level);
    }
  };
  Recording recording(options);
  ASSERT_EQ(ready.get_future().wait_for(30s), std::future_status::ready) << "no ready event";

  // Two seconds of voice-like sound at the pace of a real microphone.
  const auto fed = talvora::testing::speechLikeSignal(server.options().rate, server.options().channels, 2.0);
  FifoFeeder feeder(server);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(30s));
  // The last blocks may still be on their way to the file: wait for all of them.
  std::optional<talvora::testing::SoundFileInfo> info;
  for (int i = 0; i < 3000; ++i) {
    info = talvora::testing::inspectSoundFile(options.output);
    if (info && info->frames >= static_cast<int64_t>(fed.frames())) break;
    std::this_thread::sleep_for(10ms);
  }
  recording.requestStop();
  RecordingResult result = recording.wait();

  EXPECT_TRUE(result.succeeded()) << "status " << result.exitStatus << ", errors " << result.errors.size();
  EXPECT_TRUE(result.ready);
  EXPECT_GE(result.durationSeconds, 2.0);  // at least what was fed in real time
  EXPECT_LE(result.durationSeconds, 60.0);
  EXPECT_EQ(result.standardError, "");
  EXPECT_TRUE(result.unparsed.empty()) << result.unparsed.front();
  {
    std::lock_guard lock(mutex);
    ASSERT_FALSE(levels.empty());
    bool heard = false;
    for (size_t i = 0; i < levels.size(); ++i) {
      heard = heard || levels[i].level > 0;
      EXPECT_GE(levels[i].level, 0.0f);
      EXPECT_LE(levels[i].level, 1.0f);
      if (i > 0) {
        EXPECT_GE(levels[i].elapsedSeconds, levels[i - 1].elapsedSeconds);
      }
    }
    EXPECT_TRUE(heard) << "the meter never moved while sound was fed";
  }
  info = talvora::testing::inspectSoundFile(options.output);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->format, SF_FORMAT_CAF | SF_FORMAT_FLOAT);
  EXPECT_EQ(info->channels, 1);
  EXPECT_EQ(info->rate, static_cast<int>(server.options().rate));
  talvora::testing::expectFileHoldsTheFeed(server, info->frames, static_cast<int64_t>(fed.frames()));
}

TEST(RecordCommandWithTheRealRecorder, StopsAtItsMaximumAndDescribesTheFile) {
  PulseServer server;
  testing::ScratchFolder folder;
  std::vector<std::string> environment;
  for (const auto& [name, value] : server.clientEnvironment()) environment.push_back(name + "=" + value);
  // The microphone gives nothing unless fed, so the file holds no frames: what is
  // checked is the whole way from talvora-record to the recorder next to it and back.
  auto run = testing::runProgram({TALVORA_RECORD_BINARY, folder.file("take.aiff"), "--max", "0.5"}, environment);
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_EQ(run.err, "");
  // Nor does talvora-record pretend otherwise: it counts what the file holds.
  for (const char* expected :
       {"Recording to ", "Reached the maximum of 00:00.5. Stopping...\n", "Recorded 0.0 s.\n",
        "The file holds no audio: the microphone delivered nothing in the 0.5 s recorded.\n", "Container: AIFF",
        "Encoding:  32 bit float", "Channels:  1 (mono)\n", "Frames:    0\n"}) {
    EXPECT_NE(run.out.find(expected), std::string::npos) << expected << " not in:\n" << run.out;
  }
  EXPECT_NE(run.out.find("Rate:      " + std::to_string(server.options().rate) + " Hz\n"), std::string::npos)
      << run.out;
}

}  // namespace
}  // namespace talvora::client
