// Standard input as the parent application uses it: only the line "stop" (or the end of
// input) stops the recording, and whatever else arrives there cannot grow the recorder.

#include <filesystem>
#include <random>

#include "process/process_support.h"

namespace talvora::testing {
namespace {

// Lines that merely look like "stop" leave the recording running (the meter's level
// events go on; a stop ends them at once); "stop" with a CR LF ending, as a
// Windows-minded parent writes it, stops it.
TEST(StopLine, OnlyTheExactWordStopsAndACarriageReturnIsPartOfTheEnding) {
  Drill drill;
  RecorderProcess& recorder = *drill.recorder;
  const Audio fed = drill.feedAndWait(0.5);

  recorder.write("Stop\n");
  recorder.write(" stop\n");
  recorder.write("stop now\n");
  expectStillRecording(recorder, 600ms);

  recorder.write("stop\r\n");
  expectCleanFinish(recorder);
  const auto info = expectPlayable(drill.path, kRate);
  expectFileHoldsTheFeed(drill.server, framesIn(info), static_cast<int64_t>(fed.frames()));
}

TEST(StopLine, EndOfInputStops) {
  Drill drill;
  const Audio fed = drill.feedAndWait(0.5);
  drill.recorder->closeInput();
  expectCleanFinish(*drill.recorder);
  const auto info = expectPlayable(drill.path, kRate);
  expectFileHoldsTheFeed(drill.server, framesIn(info), static_cast<int64_t>(fed.frames()));
}

// A parent that gives no input at all (standard input is /dev/null): the recording
// ends as soon as it begins, instead of running to its half-hour maximum.
TEST(StopLine, InputAlreadyAtItsEndStopsAtOnce) {
  Drill drill(false);
  const std::string& path = drill.path;
  RecorderOptions options = recorderOn(drill.server, path, "1800");
  options.launcher = {"sh", "-c", "exec \"$@\" </dev/null", "sh"};
  RecorderProcess recorder(options);
  const Json finished = expectCleanFinish(recorder);
  EXPECT_LT(numberOf(finished, "durationSeconds"), 0.5);
  // At most the meter's first beats before the stop was taken.
  EXPECT_LE(recorder.eventsOfKind("level").size(), 5u) << recorder.describeEvents();
  // The stop may win the race against the start (then nothing is created); a file that
  // was created must be a closed, playable one.
  if (!recorder.eventsOfKind("ready").empty() || std::filesystem::exists(path)) expectPlayable(path, kRate);
}

// Megabytes of binary without a line feed are one overlong line, dropped as it streams
// by: the recorder's peak memory stays where it was, and "stop" on a line of its own
// still works after it.
TEST(StopLine, AFloodWithoutLineFeedsNeitherStopsNorGrowsTheRecorder) {
  Drill drill;
  RecorderProcess& recorder = *drill.recorder;
  const Audio fed = drill.feedAndWait(0.5);
  expectStillRecording(recorder, 300ms);
  const auto before = procStatusKilobytes(recorder.pid(), "VmHWM");
  ASSERT_TRUE(before.has_value());

  constexpr size_t kFloodBytes = 64u << 20;
  std::string flood(kFloodBytes, '\0');
  std::mt19937 random(7);
  for (auto& c : flood) {
    c = static_cast<char>(random() & 0xff);
    if (c == '\n') c = '\r';
  }
  flood.replace(0, 4, "stop");  // even a line that begins with the word is not the word
  // The write returns once all but a pipe's worth has been read by the recorder.
  recorder.write(flood);
  expectStillRecording(recorder, 300ms);
  const auto after = procStatusKilobytes(recorder.pid(), "VmHWM");
  ASSERT_TRUE(after.has_value());
  RecordProperty("peakKilobytesBefore", std::to_string(*before));
  RecordProperty("peakKilobytesAfter", std::to_string(*after));
  // Holding even an eighth of the flood would show.
  EXPECT_LT(*after - *before, static_cast<long>(kFloodBytes / 8 / 1024))
      << "peak resident memory grew from " << *before << " kB to " << *after << " kB";

  recorder.write("\nstop\n");
  expectCleanFinish(recorder);
  const auto info = expectPlayable(drill.path, kRate);
  expectFileHoldsTheFeed(drill.server, framesIn(info), static_cast<int64_t>(fed.frames()));
}

}  // namespace
}  // namespace talvora::testing
