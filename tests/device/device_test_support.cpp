#include "device_test_support.h"

#include <signal.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <thread>

#include "support/spawn.h"

namespace talvora::testing {

TemporaryDirectory::TemporaryDirectory(unsigned mode) : path_(makeTemporaryDirectory("talvora-device", mode)) {}

TemporaryDirectory::~TemporaryDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

SinkPlayer::SinkPlayer(const PulseServer& server, const Audio& audio) {
  const std::string raw = directory_ / "played.raw";
  writeFile(raw, std::string(reinterpret_cast<const char*>(audio.samples.data()), audio.samples.size() * sizeof(float)),
            0644);
  ChildOptions options = testProgram({"pacat", "--playback", "--device=" + server.nullSinkName(), "--format=float32le",
                                      "--rate=" + std::to_string(audio.rate),
                                      "--channels=" + std::to_string(audio.channels), "--raw",
                                      // A sink that nothing plays into renders in blocks of up
                                      // to two seconds, and so does its monitor; a player that
                                      // asks for little latency keeps both at it, as a live
                                      // microphone's source is.
                                      "--latency-msec=20", raw},
                                     server.clientEnvironment());
  options.dieWithThread = true;
  player_ = std::make_unique<client::ChildProcess>(options);
}

SinkPlayer::~SinkPlayer() {
  if (player_->waitFor(std::chrono::seconds(30))) return;
  player_->kill(SIGKILL);
  player_->waitFor(std::chrono::seconds(5));
}

bool warnedAboutVoiceProcessing(const RecorderProcess& recorder) {
  for (const auto& event : recorder.eventsOfKind("warning")) {
    if (!event.contains("message") || !event["message"].is_string()) continue;
    std::string message = event["message"];
    std::transform(message.begin(), message.end(), message.begin(), [](unsigned char c) { return std::tolower(c); });
    if (message.find("voice processing") != std::string::npos) return true;
  }
  return false;
}

void stopAndExpectCleanFinish(RecorderProcess& recorder) {
  using namespace std::chrono_literals;
  recorder.sendStop();
  const auto finished = recorder.waitForEvent("finished", 15s);
  EXPECT_TRUE(finished.contains("durationSeconds") && finished["durationSeconds"].is_number()) << finished.dump();
  EXPECT_EQ(recorder.waitForExit(15s), 0);
  EXPECT_EQ(recorder.standardError(), "");
  EXPECT_TRUE(recorder.eventsOfKind("error").empty()) << recorder.describeEvents();
}

}  // namespace talvora::testing
