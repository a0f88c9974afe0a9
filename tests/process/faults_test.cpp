// Faults on the way in and on the way out while recording: the disk refusing more
// (a file-size limit, a full file system) and the microphone going away (the sound
// server dying, the source being removed). In each the parent gets the one event that
// says so, the recording ends or goes on as the parent expects, and the file on disk
// is closed and holds what was captured until the fault.

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>

#include "process/process_support.h"

namespace talvora::testing {
namespace {

constexpr int64_t kBytesPerFrame = 4;  // mono 32-bit float
// A WAV header with its float "fact" and "PEAK" chunks is about a hundred bytes.
constexpr int64_t kLargestHeader = 512;

int64_t fileSize(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return -1;
  return info.st_size;
}

// The disk refuses more: the OS's own words in one "error", then "finished" and status
// 0 (the recording ended, it did not crash), and the file closed with every frame that
// fit. `room` is how many bytes the file could take at most, `slack` how many of them
// the file system may keep for itself.
void expectStoppedByTheDisk(RecorderProcess& recorder, FifoFeeder& feeder, const Audio& fed, const std::string& path,
                            const std::string& message, int64_t room, int64_t slack) {
  expectStoppedByAWriteFailure(recorder, message);
  feeder.cancel();

  const auto info = expectPlayable(path, kRate);
  ASSERT_TRUE(info.has_value());
  const int64_t size = fileSize(path);
  ::testing::Test::RecordProperty("fileBytes", std::to_string(size));
  ::testing::Test::RecordProperty("frames", std::to_string(info->frames));
  EXPECT_LE(size, room);
  EXPECT_GE(size, room - slack) << "the file stopped short of the space it had";
  // Everything past the header is counted audio (a partial last frame at most).
  const int64_t header = size - info->frames * kBytesPerFrame;
  EXPECT_GT(header, 0);
  EXPECT_LT(header, kLargestHeader);
  EXPECT_LT(info->frames, static_cast<int64_t>(fed.frames()));
  expectRecordingFollows(path, fed, voiceProcessingWasOff(recorder.events()));
}

// RLIMIT_FSIZE as a parent might set it, with SIGXFSZ ignored so that an oversized write
// fails with EFBIG instead of killing the process: both are inherited through exec.
TEST(DiskRefuses, FileSizeLimitStopsTheRecordingWithTheAudioThatFit) {
  constexpr int64_t kLimit = 256 * 1024;  // about 1.4 s of mono float at 48 kHz
  PulseServer server({.rate = kRate, .channels = kChannels});
  ScratchDirectory out;
  const std::string path = out / "note.wav";
  RecorderOptions options = recorderOn(server, path);
  options.launcher = {"prlimit", "--fsize=" + std::to_string(kLimit), "env", "--ignore-signal=XFSZ"};
  RecorderProcess recorder(options);
  recorder.waitForEvent("ready", 15s);
  FifoFeeder feeder(server);
  const Audio fed = speechLikeSignal(kRate, kChannels, 4.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  // The limit is exact: every byte up to it is used.
  expectStoppedByTheDisk(recorder, feeder, fed, path, "File too large", kLimit, kBytesPerFrame);
}

TEST(DiskRefuses, FullFileSystemStopsTheRecordingWithTheAudioThatFit) {
  constexpr int64_t kSize = 256 * 1024;
  ScratchDirectory out;
  // A small tmpfs of our own that fills up mid-recording.
  auto disk = ScratchMount::smallFileSystem(out / "disk", kSize);
  PulseServer server({.rate = kRate, .channels = kChannels});
  const std::string path = out / "disk/note.wav";
  RecorderProcess recorder(recorderOn(server, path));
  recorder.waitForEvent("ready", 15s);
  FifoFeeder feeder(server);
  const Audio fed = speechLikeSignal(kRate, kChannels, 4.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  // tmpfs hands out whole pages and keeps a few for the directory and the inode.
  expectStoppedByTheDisk(recorder, feeder, fed, path, "No space left on device", kSize, 16 * 1024);
}

// ---------------------------------------------------------------------------------------
// The microphone lost while recording: one warning, the meter goes on (silence) so the
// parent's flow is unchanged, and "stop" finishes normally with the audio from before.

constexpr const char* kInputStoppedPrefix = "Microphone input stopped: ";
constexpr const char* kInputStoppedSuffix = ". Audio captured so far remains on disk.";

void expectOneInputLossWarningThenNormalStop(const PulseServer& server, RecorderProcess& recorder,
                                             const std::string& path, const Audio& fed) {
  const Json warning = recorder.waitForEvent("warning", 15s);
  const std::string message = textOf(warning, "message");
  ::testing::Test::RecordProperty("warning", message);
  EXPECT_EQ(message.rfind(kInputStoppedPrefix, 0), 0u) << message;
  const std::string suffix = kInputStoppedSuffix;
  EXPECT_TRUE(message.size() > suffix.size() + std::strlen(kInputStoppedPrefix) &&
              message.compare(message.size() - suffix.size(), suffix.size(), suffix) == 0)
      << message;
  expectStillRecording(recorder, 500ms);

  stopUnlessGone(recorder);
  expectCleanFinish(recorder);
  // Exactly one warning while recording (one from before "ready", about voice
  // processing, is not this drill's business).
  const auto& events = recorder.events();
  auto at = std::find_if(events.begin(), events.end(), [](const Json& e) { return e["event"] == "ready"; });
  EXPECT_EQ(std::count_if(at, events.end(), [](const Json& e) { return e["event"] == "warning"; }), 1)
      << recorder.describeEvents();
  const auto info = expectPlayable(path, kRate);
  expectFileHoldsTheFeed(server, framesIn(info), static_cast<int64_t>(fed.frames()));
  expectRecordingFollows(path, fed, voiceProcessingWasOff(recorder.events()));
}

TEST(MicrophoneLost, SoundServerKilledMidRecording) {
  Drill drill;
  const Audio fed = drill.feedAndWait(1.0);
  drill.feeder.reset();
  drill.server.kill();
  expectOneInputLossWarningThenNormalStop(drill.server, *drill.recorder, drill.path, fed);
}

TEST(MicrophoneLost, DefaultSourceRemovedMidRecording) {
  Drill drill;
  const Audio fed = drill.feedAndWait(1.0);
  drill.feeder.reset();
  drill.server.pactl({"unload-module", "module-pipe-source"});
  expectOneInputLossWarningThenNormalStop(drill.server, *drill.recorder, drill.path, fed);
}

}  // namespace
}  // namespace talvora::testing
