// The capture object driven through fakes: the test thread plays the audio thread, the
// speech service and the permission prompt.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "capture/signal_chain.h"
#include "fakes/fake_platform.h"

namespace talvora::testing {
namespace {

using platform::SpeechAuthorizationStatus;
using Seconds = std::chrono::duration<double>;

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

std::vector<float> ramp(size_t frames, float start) {
  std::vector<float> out(frames);
  for (size_t i = 0; i < frames; ++i) out[i] = start + static_cast<float>(i) * 1e-6f;
  return out;
}

// ---- stop and finish --------------------------------------------------------------------

TEST(StopAndFinish, TwoQuickStopsGiveOneFinishedAboutASecondLater) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  const double stopAt = now();
  rig.capture->requestStop();
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_GE(rig.log.exitTime() - stopAt, 1.0);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  auto finished = rig.log.ofKind("finished");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(stringField(finished[0], "localTranscript"), "");
  EXPECT_LT(numberField(finished[0], "durationSeconds"), 1.0);
  EXPECT_TRUE(rig.files->closed());
  EXPECT_FALSE(rig.engine->running);
}

TEST(StopAndFinish, MaximumStopsTheRecordingAndCapsTheDuration) {
  Rig rig(0.35);
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  auto finished = rig.log.ofKind("finished");
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_DOUBLE_EQ(numberField(finished[0], "durationSeconds"), 0.35);
  // The tick that reached the limit reported first; none came after the stop.
  auto levels = rig.log.ofKind("level");
  ASSERT_GE(levels.size(), 4u);
  EXPECT_GE(numberField(levels.back(), "elapsedSeconds"), 0.35);
  EXPECT_LT(numberField(levels[levels.size() - 2], "elapsedSeconds"), 0.35);
  auto all = rig.log.all();
  EXPECT_EQ(kindOf(all.back()), "finished");
}

TEST(StopAndFinish, StopBeforePermissionSkipsALateStart) {
  Rig rig;
  rig.build();
  rig.capture->requestStop();
  rig.drain();
  platform::Error failure;
  EXPECT_EQ(rig.capture->startUnlessStopped(false, &failure), capture::VoiceCapture::StartOutcome::skipped);
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_EQ(rig.files->created, 0);
  EXPECT_EQ(rig.engine->starts, 0);
  EXPECT_TRUE(rig.log.ofKind("ready").empty());
  EXPECT_EQ(rig.log.ofKind("finished").size(), 1u);
}

// ---- start sequence ---------------------------------------------------------------------

TEST(StartSequence, RefusedVoiceProcessingWarnsThenRecords) {
  Rig rig;
  rig.refuseVoiceProcessing = "no processing for this device";
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  auto all = rig.log.all();
  ASSERT_GE(all.size(), 2u);
  EXPECT_EQ(kindOf(all[0]), "warning");
  EXPECT_EQ(stringField(all[0], "message"),
            "Apple voice processing is unavailable: no processing for this device. Recording with the microphone input.");
  EXPECT_EQ(rig.log.ofKind("ready").size(), 1u);
  EXPECT_EQ(rig.log.ofKind("warning").size(), 1u);
  EXPECT_EQ(rig.engine->node.requestedBufferSize, 2048u);
  // The plain mix-down is recorded.
  ASSERT_TRUE(rig.engine->node.deliver({std::vector<float>(512, 0.25f)}));
  rig.drain();
  EXPECT_EQ(rig.files->samples(), std::vector<float>(512, 0.25f));
  EXPECT_EQ(rig.processed.frames, 0);
}

// The speakers' frames reach the processor as their mono mix with the backend's delay
// hint, and the processor is asked for echo cancellation only when the input offers them.
// A refused processor gives the reference tap back, so a backend closes its second stream.
TEST(StartSequence, TheReferenceTapFeedsTheProcessorAndIsRemovedWhenProcessingIsRefused) {
  {
    Rig rig;
    rig.offersReference = true;
    rig.build();
    ASSERT_FALSE(rig.capture->start(false));
    EXPECT_EQ(rig.echoCancellationRequests, 1);
    ASSERT_TRUE(rig.engine->node.deliverReference({std::vector<float>(300, 0.5f), std::vector<float>(300, 0.1f)}, 42.5));
    EXPECT_EQ(rig.processed.referenceFrames, 300);
    EXPECT_NEAR(rig.processed.referenceSum, 300 * 0.3, 1e-3);
    EXPECT_EQ(rig.processed.delayMs, 42.5);
    // A reference wider than any server carries is ignored, not read past its end.
    std::vector<std::vector<float>> wide(capture::SignalChain::kMaxReferenceChannels + 1, std::vector<float>(10, 1.0f));
    ASSERT_TRUE(rig.engine->node.deliverReference(wide, 0));
    EXPECT_EQ(rig.processed.referenceFrames, 300);
    // The microphone goes its own way meanwhile.
    ASSERT_TRUE(rig.engine->node.deliver({std::vector<float>(512, 0.25f)}));
    rig.drain();
    EXPECT_EQ(rig.files->samples(), std::vector<float>(512, 0.25f));
  }
  {
    Rig rig;
    rig.build();
    ASSERT_FALSE(rig.capture->start(false));
    EXPECT_EQ(rig.voiceProcessorRequests, 1);
    EXPECT_EQ(rig.echoCancellationRequests, 0);
    EXPECT_FALSE(rig.engine->node.deliverReference({std::vector<float>(300, 0.5f)}, 0));
  }
  {
    Rig rig;
    rig.offersReference = true;
    rig.refuseVoiceProcessing = "refused";
    rig.build();
    ASSERT_FALSE(rig.capture->start(false));
    EXPECT_EQ(rig.echoCancellationRequests, 1);
    EXPECT_FALSE(rig.engine->node.deliverReference({std::vector<float>(300, 0.5f)}, 0));
    EXPECT_EQ(rig.processed.referenceFrames, 0);
    ASSERT_TRUE(rig.engine->node.deliver({std::vector<float>(512, 0.25f)}));
    rig.drain();
    EXPECT_EQ(rig.files->samples(), std::vector<float>(512, 0.25f));
  }
}

TEST(StartSequence, FailuresReportTheirDescriptionAndCreateNothingTooEarly) {
  {
    Rig rig;
    rig.format = {0, 2};
    rig.build();
    auto failed = rig.capture->start(true);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->description, "Microphone has no usable audio format");
    EXPECT_EQ(rig.files->created, 0);
    EXPECT_EQ(rig.speech->authorizationRequests, 0);
  }
  {
    Rig rig;
    rig.refuseVoiceProcessing = "refused";
    rig.refuseStart = "the device is busy";
    rig.build();
    platform::Error failure;
    EXPECT_EQ(rig.capture->startUnlessStopped(false, &failure), capture::VoiceCapture::StartOutcome::failed);
    EXPECT_EQ(failure.description, "the device is busy");
    auto all = rig.log.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(kindOf(all[0]), "warning");
  }
  {
    // No server: the reason it gave is the voice processing warning, then the start fails
    // for want of a format, before any file exists.
    Rig rig;
    rig.formatError = "Cannot connect to the sound server: Connection refused";
    rig.build();
    auto failed = rig.capture->start(false);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->description, "Microphone has no usable audio format");
    auto all = rig.log.all();
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(stringField(all[0], "message"),
              "Apple voice processing is unavailable: Cannot connect to the sound server: Connection refused. "
              "Recording with the microphone input.");
    EXPECT_EQ(rig.files->created, 0);
    EXPECT_EQ(rig.voiceProcessorRequests, 0);
  }
  {
    Rig rig;
    rig.files->refuseCreate = "No such file or directory";
    rig.build();
    auto failed = rig.capture->start(false);
    ASSERT_TRUE(failed);
    EXPECT_EQ(failed->description, "No such file or directory");
    EXPECT_EQ(rig.engine->starts, 0);
  }
}

TEST(StartSequence, FileUsesMonoAtTheInputRateAndTranscriptionIsAskedOnlyWhenWanted) {
  Rig rig;
  rig.format = {44100, 6};
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  EXPECT_EQ(rig.files->format.sampleRate, 44100);
  EXPECT_EQ(rig.files->format.channelCount, 1u);
  EXPECT_EQ(rig.speech->authorizationRequests, 0);
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_TRUE(rig.log.ofKind("warning").empty());
}

// ---- audio path ---------------------------------------------------------------------------

TEST(AudioPath, BuffersReachTheFileInOrderAndTheMeterShowsTheirLevel) {
  Rig rig;
  rig.format = {48000, 2};
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  std::vector<float> expected;
  for (int b = 0; b < 20; ++b) {
    auto left = ramp(2048, static_cast<float>(b) * 0.01f);
    auto right = ramp(2048, static_cast<float>(b) * 0.01f);
    ASSERT_TRUE(rig.engine->node.deliver({left, right}));
    expected.insert(expected.end(), left.begin(), left.end());
    rig.drain();  // one buffer at a time: never more than the slots
  }
  // A loud buffer: 0.05 RMS reads 0.4 on the meter.
  std::vector<float> loud(2048, 0.05f);
  ASSERT_TRUE(rig.engine->node.deliver({loud, loud}));
  expected.insert(expected.end(), loud.begin(), loud.end());
  rig.drain();
  ASSERT_TRUE(rig.log.waitForKind("level", rig.log.ofKind("level").size() + 2, 2));
  auto levels = rig.log.ofKind("level");
  EXPECT_NEAR(numberField(levels.back(), "level"), 0.4, 1e-6);
  EXPECT_LT(numberField(levels.back(), "silenceSeconds"), 0.25);
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_EQ(rig.files->samples(), expected);
  // Every frame went through the voice processor on its way.
  EXPECT_EQ(rig.voiceProcessorRequests, 1);
  EXPECT_EQ(rig.processed.frames, static_cast<long>(expected.size()));
}

TEST(AudioPath, OverflowStopsOnceAndKeepsEveryBufferHandedOverBeforeIt) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  auto release = rig.holdQueue();
  std::vector<float> expected;
  for (int b = 0; b < 8; ++b) {
    auto buffer = ramp(1024, static_cast<float>(b));
    ASSERT_TRUE(rig.engine->node.deliver({buffer}));
    expected.insert(expected.end(), buffer.begin(), buffer.end());
  }
  // Every slot is pending: these overflow, and only the first is reported.
  for (int b = 0; b < 5; ++b) rig.engine->node.deliver({ramp(1024, 100.0f)});
  rig.capture->requestStop();
  release();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  auto errors = rig.log.ofKind("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(stringField(errors[0], "message"),
            "Audio storage cannot keep up. Recording stopped; captured audio remains on disk.");
  EXPECT_EQ(rig.log.ofKind("finished").size(), 1u);
  EXPECT_EQ(rig.files->samples(), expected);
  EXPECT_EQ(kindOf(rig.log.all().back()), "finished");
}

TEST(AudioPath, WriteFailureStopsWithTheSystemsMessageAndKeepsEarlierAudio) {
  Rig rig;
  rig.files->failWrite = std::make_pair(2, std::string("File too large"));
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  for (int b = 0; b < 5; ++b) {
    rig.engine->node.deliver({std::vector<float>(512, 0.5f)});
    rig.drain();
  }
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  auto errors = rig.log.ofKind("error");
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(stringField(errors[0], "message"), "File too large");
  EXPECT_EQ(rig.files->samples().size(), 1024u);
  EXPECT_TRUE(rig.files->closed());
  EXPECT_EQ(rig.files->writes, 3);  // nothing written after the stop
}

TEST(AudioPath, BuffersQueuedBehindTheStopAreDroppedAndDoNotMoveTheMeter) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  auto release = rig.holdQueue();
  rig.capture->requestStop();
  rig.engine->node.deliver({std::vector<float>(512, 0.9f)});
  release();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_TRUE(rig.files->samples().empty());
  for (const auto& e : rig.log.ofKind("level")) EXPECT_EQ(numberField(e, "level"), 0);
}

TEST(AudioPath, VoiceThresholdIsStrictlyAboveTheFloatNearestPoint012) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(350));
  // A one-frame buffer's RMS is exactly its sample (sqrt(x*x) == x in binary floating
  // point), so the level lands exactly on the threshold, which does not count.
  rig.engine->node.deliver({std::vector<float>(1, 0.012f)});
  rig.drain();
  size_t seen = rig.log.ofKind("level").size();
  ASSERT_TRUE(rig.log.waitForKind("level", seen + 1, 2));
  EXPECT_GT(numberField(rig.log.ofKind("level").back(), "silenceSeconds"), 0.3);
  rig.engine->node.deliver({std::vector<float>(1, std::nextafter(0.012f, 1.0f))});
  rig.drain();
  seen = rig.log.ofKind("level").size();
  ASSERT_TRUE(rig.log.waitForKind("level", seen + 1, 2));
  EXPECT_LT(numberField(rig.log.ofKind("level").back(), "silenceSeconds"), 0.2);
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
}

TEST(AudioPath, NotANumberLevelShowsFullScaleAndDoesNotCountAsVoice) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  rig.engine->node.deliver({std::vector<float>(64, std::nanf(""))});
  rig.drain();
  size_t seen = rig.log.ofKind("level").size();
  ASSERT_TRUE(rig.log.waitForKind("level", seen + 1, 2));
  auto last = rig.log.ofKind("level").back();
  EXPECT_EQ(numberField(last, "level"), 1.0);
  EXPECT_GT(numberField(last, "silenceSeconds"), 0.2);
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
}

TEST(AudioPath, BufferWithoutChannelDataOverflowsAndOversizedBuffersAreKept) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  std::vector<float> huge(capture::VoiceCapture::kPoolFrames * 3, 0.25f);
  rig.engine->node.deliver({huge});
  rig.drain();
  EXPECT_EQ(rig.files->samples().size(), huge.size());
  rig.engine->node.deliverView(platform::AudioBufferView{nullptr, 1, 128});
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_EQ(rig.log.ofKind("error").size(), 1u);
}

// Once nothing arrives (a stalled source, a lost one) the meter reads silence instead of
// repeating the last buffer's level.
TEST(AudioPath, LostInputWarnsOnceAndTheMeterGoesOnReadingSilence) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(false));
  const auto lastLevel = [&] { return numberField(rig.log.ofKind("level").back(), "level"); };
  const std::vector<float> loud(2048, 0.05f);
  ASSERT_TRUE(rig.engine->node.deliver({loud}));
  rig.drain();
  ASSERT_TRUE(rig.log.waitForKind("level", rig.log.ofKind("level").size() + 1, 2));
  EXPECT_NEAR(lastLevel(), 0.4, 1e-6);
  // A stall well past the buffer's own 43 ms.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  ASSERT_TRUE(rig.log.waitForKind("level", rig.log.ofKind("level").size() + 1, 2));
  EXPECT_EQ(lastLevel(), 0);

  ASSERT_TRUE(rig.engine->node.deliver({loud}));
  rig.drain();
  rig.engine->node.interrupt("Connection terminated");
  rig.engine->node.interrupt("Connection terminated");
  rig.drain();
  size_t seen = rig.log.ofKind("level").size();
  ASSERT_TRUE(rig.log.waitForKind("level", seen + 2, 2));
  EXPECT_EQ(lastLevel(), 0);
  auto warnings = rig.log.ofKind("warning");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(stringField(warnings[0], "message"),
            "Microphone input stopped: Connection terminated. Audio captured so far remains on disk.");
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
}

// ---- transcription ------------------------------------------------------------------------

TEST(Transcription, UnavailableAnswersWarnOnceWhileRecordingAndNeverAfterTheStop) {
  struct Case {
    SpeechAuthorizationStatus status;
    bool recognizer;
    bool onDevice;
  };
  for (Case c : {Case{SpeechAuthorizationStatus::denied, true, true},
                 Case{SpeechAuthorizationStatus::authorized, false, true},
                 Case{SpeechAuthorizationStatus::authorized, true, false}}) {
    Rig rig;
    rig.speech->hasRecognizer = c.recognizer;
    rig.speech->onDevice = c.onDevice;
    rig.build();
    ASSERT_FALSE(rig.capture->start(true));
    rig.speech->answer(c.status);
    rig.drain();
    rig.capture->requestStop();
    ASSERT_EQ(rig.log.waitForExit(5), 0);
    auto warnings = rig.log.ofKind("warning");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(stringField(warnings[0], "message"),
              "Apple on-device transcription is unavailable; audio will still be saved.");
    EXPECT_EQ(stringField(rig.log.ofKind("finished")[0], "localTranscript"), "");
  }
  Rig late;
  late.speech->hasRecognizer = false;
  late.build();
  ASSERT_FALSE(late.capture->start(true));
  late.capture->requestStop();
  late.drain();
  late.speech->answer(SpeechAuthorizationStatus::authorized);
  ASSERT_EQ(late.log.waitForExit(5), 0);
  EXPECT_TRUE(late.log.ofKind("warning").empty());
  EXPECT_EQ(late.speech->request, nullptr);
}

TEST(Transcription, PartialResultsReplaceTheTranscriptUntilTheFinishStep) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(true));
  rig.speech->answer(SpeechAuthorizationStatus::authorized);
  rig.drain();
  ASSERT_NE(rig.speech->request, nullptr);
  EXPECT_TRUE(rig.speech->requestedPartial);
  rig.engine->node.deliver({std::vector<float>(300, 0.1f)});
  rig.drain();
  EXPECT_EQ(rig.speech->request->appendedFrames, 300);
  for (const char* text : {"hel", "hello", "hello wor"}) rig.speech->deliver(platform::SpeechResult{text, false}, {});
  rig.capture->requestStop();
  rig.drain();
  EXPECT_EQ(rig.speech->request->endAudioCalls, 1);
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_EQ(stringField(rig.log.ofKind("finished")[0], "localTranscript"), "hello wor");
  EXPECT_EQ(rig.speech->taskCancels, 1);
}

TEST(Transcription, FinalResultTearsDownSilentlyAndLaterBuffersAreOnlyWritten) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(true));
  rig.speech->answer(SpeechAuthorizationStatus::authorized);
  rig.drain();
  auto request = rig.speech->request;
  rig.speech->deliver(platform::SpeechResult{"Hello world", true}, {});
  rig.drain();
  rig.engine->node.deliver({std::vector<float>(400, 0.1f)});
  rig.drain();
  EXPECT_EQ(request->appendedFrames, 0);
  EXPECT_EQ(rig.files->samples().size(), 400u);
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_TRUE(rig.log.ofKind("warning").empty());
  EXPECT_EQ(stringField(rig.log.ofKind("finished")[0], "localTranscript"), "Hello world");
}

TEST(Transcription, ErrorWithResultKeepsTheTextThenWarnsOnlyWhileRecording) {
  Rig rig;
  rig.build();
  ASSERT_FALSE(rig.capture->start(true));
  rig.speech->answer(SpeechAuthorizationStatus::authorized);
  rig.drain();
  rig.speech->deliver(platform::SpeechResult{"Half a sentence", false}, platform::Error{"the decoder fell behind"});
  rig.drain();
  auto warnings = rig.log.ofKind("warning");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(stringField(warnings[0], "message"), "Apple transcription: the decoder fell behind");
  EXPECT_EQ(rig.speech->taskCancels, 1);
  rig.capture->requestStop();
  ASSERT_EQ(rig.log.waitForExit(5), 0);
  EXPECT_EQ(stringField(rig.log.ofKind("finished")[0], "localTranscript"), "Half a sentence");

  Rig after;
  after.build();
  ASSERT_FALSE(after.capture->start(true));
  after.speech->answer(SpeechAuthorizationStatus::authorized);
  after.drain();
  after.capture->requestStop();
  after.drain();
  after.speech->deliver(platform::SpeechResult{"Late final words", true}, platform::Error{"cancelled"});
  ASSERT_EQ(after.log.waitForExit(5), 0);
  EXPECT_TRUE(after.log.ofKind("warning").empty());
  EXPECT_EQ(stringField(after.log.ofKind("finished")[0], "localTranscript"), "Late final words");
}

}  // namespace
}  // namespace talvora::testing
