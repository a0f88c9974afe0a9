// The meter and the maximum as the parent sees them: a "level" event about every
// 100 ms while recording, the recording ending by itself at its maximum whatever the
// wall clock does, and levels and silence that follow real speech.

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <limits>
#include <sstream>
#include <thread>

#include "process/process_support.h"

#ifndef TALVORA_FAKETIME_LIBRARY
#error "TALVORA_FAKETIME_LIBRARY must name libfaketimeMT (empty when not installed)"
#endif

namespace talvora::testing {
namespace {


double median(std::vector<double> values) {
  if (values.empty()) return std::numeric_limits<double>::quiet_NaN();
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

double secondsBetween(RecorderProcess::Clock::time_point from, RecorderProcess::Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

// A recording with maximum 2 that ran to its end: every level in [0, 1] with its
// elapsed time rising in steps of about 100 ms up to the maximum, a duration of exactly
// the maximum, and "finished" a second after the meter stopped.
void expectStoppedByTheMaximumOfTwoSeconds(RecorderProcess& recorder) {
  recorder.readToEnd(15s);
  EXPECT_EQ(recorder.waitForExit(15s), 0);
  EXPECT_EQ(recorder.standardError(), "");
  EXPECT_TRUE(recorder.eventsOfKind("error").empty()) << recorder.describeEvents();
  const auto& events = recorder.events();
  ASSERT_FALSE(events.empty());
  const Json& finished = events.back();
  ASSERT_EQ(finished["event"], "finished") << recorder.describeEvents();
  EXPECT_EQ(numberOf(finished, "durationSeconds"), 2.0);

  std::vector<double> elapsed;
  size_t lastLevel = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i]["event"] != "level") continue;
    const double level = numberOf(events[i], "level");
    EXPECT_GE(level, 0.0) << events[i].dump();
    EXPECT_LE(level, 1.0) << events[i].dump();
    EXPECT_GE(numberOf(events[i], "silenceSeconds"), 0.0) << events[i].dump();
    elapsed.push_back(numberOf(events[i], "elapsedSeconds"));
    lastLevel = i;
  }
  ASSERT_GE(elapsed.size(), 2u);
  std::vector<double> steps;
  for (size_t i = 1; i < elapsed.size(); ++i) {
    EXPECT_GT(elapsed[i], elapsed[i - 1]) << "elapsedSeconds went back at level " << i;
    steps.push_back(elapsed[i] - elapsed[i - 1]);
  }
  const double step = median(steps);
  ::testing::Test::RecordProperty("medianLevelStep", std::to_string(step));
  EXPECT_NEAR(step, 0.1, 0.03);
  // The meter's last beat is the one that found the maximum reached.
  EXPECT_GE(elapsed.back(), 2.0);
  EXPECT_LT(elapsed.back(), 2.0 + 0.5);
  EXPECT_GE(elapsed.size(), 15u);
  EXPECT_LE(elapsed.size(), 25u);
  // "finished" waits a second after the stop for the transcript's last words; the
  // bounds are loose, for a loaded machine.
  const double gap = secondsBetween(recorder.eventTimes()[lastLevel], recorder.eventTimes().back());
  ::testing::Test::RecordProperty("secondsFromLastLevelToFinished", std::to_string(gap));
  EXPECT_GT(gap, 0.7);
  EXPECT_LT(gap, 2.0);
}

TEST(Maximum, TwoSecondsStopsByItselfWithTheMeterEveryTenthOfASecond) {
  PulseServer server({.rate = kRate, .channels = kChannels});
  ScratchDirectory out;
  const std::string path = out / "note.wav";
  RecorderProcess recorder(recorderOn(server, path, "2"));
  recorder.waitForEvent("ready", 15s);
  FifoFeeder feeder(server);
  // Longer than the maximum: the recording must end while the microphone still speaks.
  const Audio fed = speechLikeSignal(kRate, kChannels, 3.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  expectStoppedByTheMaximumOfTwoSeconds(recorder);
  feeder.cancel();
  const auto info = expectPlayable(path, kRate);
  RecordProperty("frames", std::to_string(framesIn(info)));
  // Two seconds from "ready", less what the feed and the server took to get going.
  EXPECT_LE(framesIn(info), static_cast<int64_t>(kRate) * 21 / 10);
  EXPECT_GE(framesIn(info), static_cast<int64_t>(kRate) * 15 / 10);
  expectRecordingFollows(path, fed, voiceProcessingWasOff(recorder.events()));
}

// The maximum and the meter run on the monotonic clock: libfaketime moves the wall
// clock of the recorder (and only the wall clock) an hour ahead and then an hour
// behind while it records, and the recording still ends at 2 s, neither at once nor
// never.
TEST(Maximum, WallClockJumpsDoNotMoveTheEnd) {
  const std::string library = TALVORA_FAKETIME_LIBRARY;
  ASSERT_FALSE(library.empty()) << "libfaketime is not installed (Debian package faketime)";
  PulseServer server({.rate = kRate, .channels = kChannels});
  ScratchDirectory out;
  const std::string clockFile = out / "faketime.rc";
  auto setOffset = [&](const std::string& offset) {
    // Replaced whole (write, then rename), so that the recorder never reads half a line.
    writeFile(clockFile + ".new", offset + "\n", 0644);
    ASSERT_EQ(::rename((clockFile + ".new").c_str(), clockFile.c_str()), 0);
  };
  setOffset("+0");
  Environment environment = server.clientEnvironment();
  environment["LD_PRELOAD"] = library;
  environment["FAKETIME_TIMESTAMP_FILE"] = clockFile;
  environment["FAKETIME_NO_CACHE"] = "1";
  environment["FAKETIME_DONT_FAKE_MONOTONIC"] = "1";
  // An AddressSanitizer build wants its runtime first among the libraries; a preloaded
  // one comes before it, which is harmless here. The run's own settings still apply.
  const char* asanOptions = std::getenv("ASAN_OPTIONS");
  environment["ASAN_OPTIONS"] = std::string(asanOptions ? asanOptions : "") + (asanOptions ? ":" : "") +
                                "verify_asan_link_order=0";

  // The mechanism itself: a process started the same way sees the offset.
  setOffset("+3600");
  std::string said;
  ASSERT_EQ(runCommand({"date", "+%s"}, environment, &said), 0) << said;
  const long shifted = std::stol(said) - static_cast<long>(std::time(nullptr));
  ASSERT_NEAR(shifted, 3600, 5) << "libfaketime does not move the wall clock here";
  setOffset("+0");

  const std::string path = out / "note.wav";
  RecorderOptions options = recorderOn(server, path, "2");
  options.environment = environment;
  RecorderProcess recorder(options);
  recorder.waitForEvent("ready", 15s);
  {
    std::ifstream maps("/proc/" + std::to_string(recorder.pid()) + "/maps");
    std::stringstream text;
    text << maps.rdbuf();
    ASSERT_NE(text.str().find("libfaketime"), std::string::npos) << "libfaketime is not loaded in the recorder";
  }
  FifoFeeder feeder(server);
  const Audio fed = speechLikeSignal(kRate, kChannels, 3.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  std::this_thread::sleep_for(600ms);
  setOffset("+3600");
  std::this_thread::sleep_for(600ms);
  setOffset("-3600");
  expectStoppedByTheMaximumOfTwoSeconds(recorder);
  feeder.cancel();
  // Two seconds of recording, a second of finishing, and the start.
  const double total = secondsBetween(recorder.startedAt(), recorder.eventTimes().back());
  RecordProperty("secondsFromStartToFinished", std::to_string(total));
  EXPECT_GT(total, 2.9);
  EXPECT_LT(total, 6.0);
  const auto info = expectPlayable(path, kRate);
  EXPECT_LE(framesIn(info), static_cast<int64_t>(kRate) * 21 / 10);
}

// ---------------------------------------------------------------------------------------
// Real speech through the virtual microphone in real time: a read sentence, then a
// pause.

TEST(Meter, LevelsAndSilenceFollowRealSpeech) {
  const Audio sentence = librivoxExcerpt("sense_and_sensibility_01_austen_64kb-0930");
  const double sentenceSeconds = static_cast<double>(sentence.frames()) / sentence.rate;
  constexpr double kPauseSeconds = 2.5;
  PulseServer server({.rate = sentence.rate, .channels = 1});
  ScratchDirectory out;
  const std::string path = out / "note.wav";
  RecorderProcess recorder(recorderOn(server, path));
  recorder.waitForEvent("ready", 15s);
  const auto readyAt = recorder.eventTimes().back();
  FifoFeeder feeder(server);
  const Audio fed = concatenate(sentence, silence(sentence.rate, 1, kPauseSeconds));
  const auto feedStart = RecorderProcess::Clock::now();
  feedAndWaitForFile(feeder, fed, path);
  stopUnlessGone(recorder);
  expectCleanFinish(recorder);

  // Where each level falls in the feed, by the recorder's own clock (it starts just
  // before "ready"); what reaches it is a fragment (about 130 ms here) behind, so each
  // region below leaves a margin at both ends.
  const double feedOffset = secondsBetween(readyAt, feedStart);
  std::vector<double> speechLevels, speechSilence, pauseLevels, pauseSilence;
  for (const auto& level : recorder.eventsOfKind("level")) {
    const double at = numberOf(level, "elapsedSeconds") - feedOffset;
    // The sentence has voice from about 0.3 s to 2.9 s.
    if (at > 0.8 && at < 2.6) {
      speechLevels.push_back(numberOf(level, "level"));
      speechSilence.push_back(numberOf(level, "silenceSeconds"));
    } else if (at > sentenceSeconds + 0.8 && at < sentenceSeconds + kPauseSeconds) {
      pauseLevels.push_back(numberOf(level, "level"));
      pauseSilence.push_back(numberOf(level, "silenceSeconds"));
    }
  }
  ASSERT_GE(speechLevels.size(), 10u);
  ASSERT_GE(pauseLevels.size(), 8u);
  RecordProperty("speechMedianLevel", std::to_string(median(speechLevels)));
  RecordProperty("pauseMedianLevel", std::to_string(median(pauseLevels)));
  RecordProperty("speechMaxSilence", std::to_string(*std::max_element(speechSilence.begin(), speechSilence.end())));
  RecordProperty("pauseLastSilence", std::to_string(pauseSilence.back()));

  // While the voice goes on, the silence counter keeps being reset.
  EXPECT_LT(*std::min_element(speechSilence.begin(), speechSilence.end()), 0.15);
  EXPECT_LT(median(speechSilence), 0.3);
  // In the pause it only grows, to most of the pause.
  for (size_t i = 1; i < pauseSilence.size(); ++i) EXPECT_GT(pauseSilence[i], pauseSilence[i - 1]);
  EXPECT_GT(pauseSilence.back(), kPauseSeconds - 1.0);
  // The speech is clearly louder than the pause.
  EXPECT_GT(median(speechLevels), 0.1);
  EXPECT_GT(median(speechLevels), 10 * median(pauseLevels));
}

}  // namespace
}  // namespace talvora::testing
