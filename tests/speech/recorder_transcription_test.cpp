// The recorder binary transcribing a voice from a private sound server's microphone: the
// whole path, from the capture tap through voice processing and the capture queue to the
// speech service and the "finished" event.

#include <gtest/gtest.h>

#include "speech_corpus.h"
#include "support/fifo_feeder.h"
#include "support/recorder_process.h"

namespace talvora::testing {
namespace {

using namespace std::chrono_literals;

TEST(RecorderTranscription, SpeechIntoTheMicrophoneComesOutInTheFinishedEvent) {
  const std::vector<Excerpt> all = loadExcerpts();
  // Two of the excerpts, nine seconds of speech in all, a pause before, between and after.
  std::vector<Excerpt> spoken;
  for (size_t i : {1, 3}) spoken.push_back(resampled(all.at(i), 48000));
  const Excerpt note = joined(spoken, 1.0);

  PulseServer server;  // a 48 kHz stereo virtual microphone
  const std::string directory = server.directory();
  RecorderOptions options;
  options.operands = {directory + "/note.wav", "60", "true"};
  options.environment = server.clientEnvironment();
  options.workingDirectory = directory;
  RecorderProcess recorder(options);
  recorder.waitForEvent("ready", 15s);

  Audio fed{48000, 2, {}};
  for (float sample : note.samples) fed.samples.insert(fed.samples.end(), {sample, sample});
  FifoFeeder feeder(server);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(60s))
      << feeder.framesWritten() << " of " << fed.frames() << " frames written; events: " << recorder.describeEvents()
      << "; standard error: " << recorder.standardError() << "; server log: " << server.log();
  recorder.sendStop();
  const auto finished = recorder.waitForEvent("finished", 15s);
  EXPECT_EQ(recorder.waitForExit(15s), 0);

  const std::string transcript = finished["localTranscript"];
  const WordErrors errors = wordErrors(note.reference, transcript);
  RecordProperty("transcript", transcript);
  RecordProperty("wordErrorRate", std::to_string(errors.rate()));
  // Through voice processing (noise suppression, adaptive gain, whose start varies from run
  // to run) four runs got 33-44% of these 27 words wrong, against 26% for the same
  // excerpts fed to the service directly. A path that loses or mangles the audio gets
  // nearly all of them wrong.
  EXPECT_LT(errors.rate(), 0.60) << transcript;
  for (const auto& warning : recorder.eventsOfKind("warning")) {
    const std::string message = warning["message"];
    EXPECT_EQ(message.find("transcription"), std::string::npos) << message;
  }
  EXPECT_EQ(recorder.standardError(), "");
}

}  // namespace
}  // namespace talvora::testing
