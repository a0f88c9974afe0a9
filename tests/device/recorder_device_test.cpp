// The recorder binary against a private PulseAudio server: what its parent application
// sees (the event lines, the exit status, silence on standard error) and what ends up
// on disk.

#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <thread>

#include "device_test_support.h"
#include "support/fifo_feeder.h"
#include "support/pulse_server.h"

namespace talvora::testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kPermissionDenied = "Microphone permission denied. Allow microphone access in System Settings.";
constexpr const char* kNoUsableFormat = "Microphone has no usable audio format";
constexpr uid_t kNobody = 65534;

RecorderOptions recorderFor(const PulseServer& server, const std::string& output) {
  RecorderOptions options;
  options.operands = {output, "60", "false"};
  options.environment = server.clientEnvironment();
  options.workingDirectory = server.directory();
  return options;
}

struct Source {
  unsigned rate;
  unsigned channels;
  const char* sampleFormat;
};

void PrintTo(const Source& s, std::ostream* out) { *out << s.rate << " Hz " << s.channels << " ch " << s.sampleFormat; }

// ---------------------------------------------------------------------------------------
// What is fed is what is recorded: every frame, at the source's rate, in one channel.

class RecordingFromTheDefaultSource : public ::testing::TestWithParam<Source> {};

// The frame count must match exactly. module-pipe-source produces nothing unless the
// FIFO is written (so nothing is recorded before or after the feed), the stream runs
// at the source's own rate and layout (no resampler adding or dropping frames at the
// edges), feeding starts after "ready" (the stream is connected by then) and "stop" is
// sent only once the file holds every frame. Voice processing may delay the signal by
// one 10 ms block but gives out exactly as many frames as it takes in. So any
// difference is a lost or duplicated frame.
TEST_P(RecordingFromTheDefaultSource, KeepsEveryFedFrameAtTheSourcesRate) {
  const Source source = GetParam();
  PulseServer server({.rate = source.rate, .channels = source.channels, .sampleFormat = source.sampleFormat});
  TemporaryDirectory out;
  const std::string path = out / "note.wav";
  RecorderProcess recorder(recorderFor(server, path));
  recorder.waitForEvent("ready", 15s);

  const Audio fed = speechLikeSignal(source.rate, source.channels, 2.0);
  FifoFeeder feeder(server);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(15s));
  int64_t seen = 0;
  EXPECT_TRUE(waitForFileFrames(path, static_cast<int64_t>(fed.frames()), 15s, &seen))
      << seen << " of " << fed.frames() << " frames reached the file";
  stopAndExpectCleanFinish(recorder);

  auto info = inspectSoundFile(path);
  ASSERT_TRUE(info.has_value());
  EXPECT_EQ(info->format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(info->channels, 1);
  EXPECT_EQ(info->rate, static_cast<int>(source.rate));
  expectFileHoldsTheFeed(server, info->frames, static_cast<int64_t>(fed.frames()));

  Audio recorded = readSoundFile(path);
  std::vector<float> expected = fed.mixDown();
  if (std::string(source.sampleFormat) == "s16le") {
    for (float& v : expected) v = std::round(v * 32768.0f) / 32768.0f;
  }
  if (!server.microphoneWaitsForTheFeeder()) {
    // The feed, and the silence the microphone heard around it.
    recorded.samples = fromFirstSound(std::move(recorded.samples));
    expected = fromFirstSound(std::move(expected));
    if (recorded.samples.size() > expected.size()) recorded.samples.resize(expected.size());
  }
  const bool plain = warnedAboutVoiceProcessing(recorder);
  RecordProperty("voiceProcessing", plain ? "off" : "on");
  if (plain && server.microphoneWaitsForTheFeeder()) {
    // The plain input: the recording is the mix of the fed channels, sample for sample.
    // (PipeWire converts a source at another rate than its graph's twice on the way.)
    ASSERT_EQ(recorded.samples.size(), expected.size());
    size_t mismatches = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
      if (std::fabs(recorded.samples[i] - expected[i]) > 1e-6f) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u);
  } else {
    // Processed (or converted): gain and noise suppression change the level, a block of
    // delay shifts it, but the syllables and pauses must still be where they were: the 20 ms level
    // envelopes correlate closely (a silent or unrelated recording scores near 0).
    const size_t window = source.rate / 50;
    const double r = bestEnvelopeCorrelation(recorded.samples, expected, window, 2);
    RecordProperty("envelopeCorrelation", std::to_string(r));
    EXPECT_GT(r, 0.8) << "the processed recording does not follow the source";
  }
}

INSTANTIATE_TEST_SUITE_P(Sources, RecordingFromTheDefaultSource,
                         ::testing::Values(Source{48000, 2, "float32le"}, Source{44100, 1, "s16le"},
                                           // A rate the voice processor refuses (not a
                                           // whole number of frames per 10 ms): the
                                           // plain input is recorded.
                                           Source{22050, 2, "float32le"}));

// ---------------------------------------------------------------------------------------
// Containers.

struct Container {
  const char* extension;
  int format;
};

void PrintTo(const Container& c, std::ostream* out) { *out << c.extension; }

class RecordingContainers : public ::testing::TestWithParam<Container> {};

TEST_P(RecordingContainers, ExtensionChoosesTheContainerWithMonoFloatAtTheSourcesRate) {
  const Container container = GetParam();
  PulseServer server({.rate = 44100, .channels = 2});
  TemporaryDirectory out;
  const std::string path = out / (std::string("note.") + container.extension);
  RecorderProcess recorder(recorderFor(server, path));
  recorder.waitForEvent("ready", 15s);
  const Audio fed = speechLikeSignal(44100, 2, 0.3);
  FifoFeeder feeder(server);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(15s));
  EXPECT_TRUE(waitForFileFrames(path, static_cast<int64_t>(fed.frames()), 15s, nullptr));
  stopAndExpectCleanFinish(recorder);

  std::string why;
  auto info = inspectSoundFile(path, &why);
  ASSERT_TRUE(info.has_value()) << why;
  EXPECT_EQ(info->format & SF_FORMAT_TYPEMASK, container.format);
  EXPECT_EQ(info->format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT);
  EXPECT_EQ(info->channels, 1);
  EXPECT_EQ(info->rate, 44100);
  EXPECT_EQ(info->frames, static_cast<int64_t>(fed.frames()));
}

INSTANTIATE_TEST_SUITE_P(Extensions, RecordingContainers,
                         ::testing::Values(Container{"wav", SF_FORMAT_WAV}, Container{"caf", SF_FORMAT_CAF},
                                           Container{"aif", SF_FORMAT_AIFF}, Container{"aiff", SF_FORMAT_AIFF},
                                           Container{"aifc", SF_FORMAT_AIFF}, Container{"w64", SF_FORMAT_W64},
                                           Container{"rf64", SF_FORMAT_RF64}),
                         [](const auto& info) { return std::string(info.param.extension); });

// ---------------------------------------------------------------------------------------
// Stopping, failing to start.

TEST(RecorderLifecycle, StoppedAtOnceStillLeavesAPlayableFile) {
  PulseServer server;
  TemporaryDirectory out;
  const std::string path = out / "short.wav";
  RecorderProcess recorder(recorderFor(server, path));
  recorder.waitForEvent("ready", 15s);
  stopAndExpectCleanFinish(recorder);
  std::string why;
  auto info = inspectSoundFile(path, &why);
  ASSERT_TRUE(info.has_value()) << why;
  EXPECT_EQ(info->format, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
  EXPECT_EQ(info->channels, 1);
  EXPECT_EQ(info->rate, 48000);
  EXPECT_NO_THROW(readSoundFile(path));
}

// A source on the real-time clock (a null sink's monitor) delivers on its own, as a
// microphone does: the file grows while recording and holds silence.
TEST(RecorderLifecycle, RecordsALiveSourceContinuously) {
  PulseServer server({.rate = 32000, .channels = 2, .microphone = false, .nullSink = true, .monitorIsDefault = true});
  TemporaryDirectory out;
  const std::string path = out / "live.caf";
  RecorderProcess recorder(recorderFor(server, path));
  recorder.waitForEvent("ready", 15s);
  int64_t seen = 0;
  EXPECT_TRUE(waitForFileFrames(path, 16000, 15s, &seen)) << seen;
  stopAndExpectCleanFinish(recorder);
  const Audio recorded = readSoundFile(path);
  EXPECT_EQ(recorded.rate, 32000u);
  EXPECT_GE(recorded.frames(), 16000u);
  EXPECT_EQ(*std::max_element(recorded.samples.begin(), recorded.samples.end(),
                              [](float a, float b) { return std::fabs(a) < std::fabs(b); }),
            0.0f);
}

// Speech from the speakers, heard by the microphone 100 ms later through the room: the
// file holds at least 20 dB less of it than the microphone heard, once the canceller has
// had two seconds. The microphone's own recording (parec, in parallel) is the measure.
TEST(RecorderEchoCancellation, TheSpeakersAreCancelledFromTheFile) {
  PulseServer server({.kind = ServerKind::pulse, .rate = 48000, .channels = 1, .echoRoom = true});
  TemporaryDirectory out;
  const std::string far = out / "far.wav", heard = out / "microphone.wav", path = out / "echo.wav";
  std::string output;
  ASSERT_EQ(runCommand({"sox", "/usr/share/pocketsphinx/test/data/librivox/sense_and_sensibility_01_austen_64kb-0870.wav",
                        "-r", "48000", "-c", "1", far},
                       server.clientEnvironment(), &output),
            0)
      << output;
  RecorderProcess recorder(recorderFor(server, path));
  recorder.waitForEvent("ready", 15s);
  std::thread microphone([&] {
    std::string ignored;
    runCommand({"timeout", "-s", "INT", "12", "parec", "--device=voice.monitor", "--format=float32le", "--rate=48000",
                "--channels=1", "--file-format=wav", "--latency-msec=20", heard},
               server.clientEnvironment(), &ignored, 20000);
  });
  std::this_thread::sleep_for(500ms);
  const int played = runCommand({"paplay", "--device=speakers", far}, server.clientEnvironment(), &output, 20000);
  std::this_thread::sleep_for(500ms);
  stopAndExpectCleanFinish(recorder);
  microphone.join();
  ASSERT_EQ(played, 0) << output;

  const Audio speech = readSoundFile(far), mic = readSoundFile(heard), file = readSoundFile(path);
  // The far end starts where either recording first gets loud; the comparison runs from
  // two seconds later to the end of the speech.
  auto level = [&](const Audio& a) {
    size_t start = 0;
    while (start < a.samples.size() && std::fabs(a.samples[start]) < 0.003f) ++start;
    const size_t from = start + 2 * 48000, to = std::min(a.samples.size(), start + speech.frames());
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(a.samples[i]) * a.samples[i];
    return to > from ? std::sqrt(sum / double(to - from)) : 0.0;
  };
  const double heardLevel = level(mic), recordedLevel = level(file);
  ASSERT_GT(heardLevel, 0.003) << "the microphone did not hear the speakers";
  EXPECT_GT(20 * std::log10(heardLevel / std::max(recordedLevel, 1e-9)), 20)
      << "heard " << heardLevel << ", recorded " << recordedLevel;
}

TEST(RecorderLifecycle, MissingDirectoryIsOneErrorInTheSystemsWords) {
  PulseServer server;
  TemporaryDirectory out;
  RecorderProcess recorder(recorderFor(server, out / "no/such/folder/note.wav"));
  recorder.readToEnd(15s);
  EXPECT_EQ(recorder.waitForExit(15s), 1);
  const auto errors = recorder.eventsOfKind("error");
  ASSERT_EQ(errors.size(), 1u) << recorder.describeEvents();
  EXPECT_EQ(errors[0]["message"], "No such file or directory");
  EXPECT_TRUE(recorder.eventsOfKind("ready").empty());
  EXPECT_EQ(recorder.standardError(), "");
}

TEST(RecorderLifecycle, NoServerMeansNoUsableFormatAndNoFile) {
  TemporaryDirectory out;
  const std::string path = out / "note.wav";
  RecorderOptions options;
  options.operands = {path, "60", "false"};
  options.workingDirectory = out.path();
  options.environment = {{"PULSE_SERVER", "unix:" + (out / "nobody-listens")},
                         {"HOME", out.path()},
                         {"PATH", "/usr/bin:/bin"},
                         {"LANG", "C"}};
  RecorderProcess recorder(options);
  recorder.readToEnd(30s);
  EXPECT_EQ(recorder.waitForExit(15s), 1);
  const auto errors = recorder.eventsOfKind("error");
  ASSERT_EQ(errors.size(), 1u) << recorder.describeEvents();
  EXPECT_EQ(errors[0]["message"], kNoUsableFormat);
  EXPECT_TRUE(recorder.eventsOfKind("ready").empty());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(recorder.standardError(), "");
}

// ---------------------------------------------------------------------------------------
// Permission: a server that requires its cookie, and a client of another user id (root
// is admitted by its socket credentials whatever it presents).

class RecorderPermission : public ::testing::Test {
 protected:
  RecorderPermission() : server({.requireCookie = true}), out(0777) {
    // Readable by the other user: the right cookie as a copy, and a wrong one.
    std::filesystem::copy_file(server.cookiePath(), out / "right-cookie");
    ::chmod((out / "right-cookie").c_str(), 0644);
    std::string wrong(256, '\x5a');
    writeFile(out / "wrong-cookie", wrong, 0644);
  }

  RecorderOptions asNobody(const std::string& cookie, const std::string& output) {
    RecorderOptions options = recorderFor(server, output);
    options.environment["PULSE_COOKIE"] = cookie;
    options.environment["HOME"] = out.path();
    options.environment.erase("XDG_RUNTIME_DIR");
    options.uid = kNobody;
    options.gid = kNobody;
    options.workingDirectory = out.path();
    return options;
  }

  PulseServer server;
  TemporaryDirectory out;
};

TEST_F(RecorderPermission, RefusedClientIsToldPermissionDeniedAndNothingIsWritten) {
  const std::string path = out / "note.wav";
  RecorderProcess recorder(asNobody(out / "wrong-cookie", path));
  recorder.readToEnd(15s);
  EXPECT_EQ(recorder.waitForExit(15s), 1);
  const auto errors = recorder.eventsOfKind("error");
  ASSERT_EQ(errors.size(), 1u) << recorder.describeEvents();
  EXPECT_EQ(errors[0]["message"], kPermissionDenied);
  EXPECT_TRUE(recorder.eventsOfKind("ready").empty());
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_EQ(recorder.standardError(), "");
}

// No cookie at all: libpulse says so on standard error by itself, which must stay
// quiet all the same.
TEST_F(RecorderPermission, ClientWithoutAnyCookieIsRefusedQuietly) {
  const std::string path = out / "note.wav";
  RecorderOptions options = asNobody("", path);
  options.environment.erase("PULSE_COOKIE");
  RecorderProcess recorder(options);
  recorder.readToEnd(15s);
  EXPECT_EQ(recorder.waitForExit(15s), 1);
  const auto errors = recorder.eventsOfKind("error");
  ASSERT_EQ(errors.size(), 1u) << recorder.describeEvents();
  EXPECT_EQ(errors[0]["message"], kPermissionDenied);
  EXPECT_EQ(recorder.standardError(), "");
}

// The same user with the right cookie records: the refusal above is the cookie's doing,
// not a socket or a directory that user cannot reach.
TEST_F(RecorderPermission, TheSameClientWithTheRightCookieRecords) {
  const std::string path = out / "note.wav";
  RecorderProcess recorder(asNobody(out / "right-cookie", path));
  recorder.waitForEvent("ready", 15s);
  stopAndExpectCleanFinish(recorder);
  EXPECT_TRUE(inspectSoundFile(path).has_value());
}

// ---------------------------------------------------------------------------------------
// The input going away while recording: a warning, the recording goes on until the
// parent stops it, and the audio captured before stays in the file.

TEST(RecorderInterruption, ServerDeathIsAWarningAndTheFileKeepsWhatArrived) {
  auto server = std::make_unique<PulseServer>();
  TemporaryDirectory out;
  const std::string path = out / "note.wav";
  RecorderProcess recorder(recorderFor(*server, path));
  recorder.waitForEvent("ready", 15s);
  const Audio fed = speechLikeSignal(48000, 2, 0.5);
  {
    FifoFeeder feeder(*server);
    feeder.feed(fed, FifoFeeder::Pace::realTime);
    ASSERT_TRUE(feeder.waitUntilDrained(15s));
  }
  ASSERT_TRUE(waitForFileFrames(path, static_cast<int64_t>(fed.frames()), 15s, nullptr));
  server->kill();
  const auto warning = recorder.waitForEvent("warning", 15s);
  const std::string message = warning["message"];
  EXPECT_NE(message.find("Connection terminated"), std::string::npos) << message;
  stopAndExpectCleanFinish(recorder);
  auto info = inspectSoundFile(path);
  ASSERT_TRUE(info.has_value());
  expectFileHoldsTheFeed(*server, info->frames, static_cast<int64_t>(fed.frames()));
}

TEST(RecorderInterruption, RemovedMicrophoneIsAWarning) {
  PulseServer server;
  TemporaryDirectory out;
  RecorderProcess recorder(recorderFor(server, out / "note.wav"));
  recorder.waitForEvent("ready", 15s);
  server.pactl({"unload-module", "module-pipe-source"});
  const auto warning = recorder.waitForEvent("warning", 15s);
  EXPECT_TRUE(warning["message"].is_string());
  stopAndExpectCleanFinish(recorder);
}

}  // namespace
}  // namespace talvora::testing
