// The compressed containers as a parent application records them: what they read back as,
// and what is left after the recorder is killed outright or the disk fills up. Each file
// is decoded twice, by libsndfile and by a decoder of its own (sox for FLAC and MP3;
// this system's sox reads no Opus, so opusdec, on libopusfile, for Ogg Opus).

#include <sndfile.h>
#include <signal.h>
#include <sys/stat.h>

#include <thread>

#include "process/process_support.h"
#include "support/spawn.h"

namespace talvora::testing {
namespace {

struct Compact {
  const char* extension;  // as the parent writes it
  int format;             // container and codec, as libsndfile reads them back
  unsigned rateFrom44k;   // the file's rate when the microphone runs at 44.1 kHz
  bool opus;
  int64_t diskBytes;      // a file system this small fills within a few seconds
};

void PrintTo(const Compact& c, std::ostream* out) { *out << c.extension; }

double secondsOf(const Audio& audio) { return static_cast<double>(audio.frames()) / audio.rate; }

// The file as the second decoder reads it.
Audio decodedElsewhere(const Compact& compact, const std::string& path, const std::string& scratch) {
  const std::string wav = scratch + "/elsewhere.wav";
  const std::vector<std::string> argv =
      compact.opus ? std::vector<std::string>{"opusdec", "--quiet", "--float", path, wav}
                   : std::vector<std::string>{"sox", "-V1", path, "-e", "floating-point", "-b", "32", wav};
  ChildProcess decoder(testProgram(argv, {{"PATH", "/usr/bin:/bin"}}));
  EXPECT_EQ(decoder.wait().code(), 0) << argv.front() << " could not decode " << path;
  try {
    return readSoundFile(wav);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
    return Audio{};
  }
}

// What both decoders make of `path`: each at least `atLeast` seconds, at most `atMost`,
// and following what was fed. Returns libsndfile's reading.
Audio expectDecodes(const Compact& compact, const std::string& path, const Audio& fed, double atLeast, double atMost,
                    const std::string& scratch) {
  Audio decoded;
  try {
    decoded = readSoundFile(path);
  } catch (const std::exception& e) {
    ADD_FAILURE() << e.what();
    return decoded;
  }
  const Audio elsewhere = decodedElsewhere(compact, path, scratch);
  for (const Audio* reading : std::vector<const Audio*>{&decoded, &elsewhere}) {
    SCOPED_TRACE(reading == &decoded ? "libsndfile" : "the other decoder");
    EXPECT_EQ(reading->channels, 1u);
    EXPECT_GE(secondsOf(*reading), atLeast);
    EXPECT_LE(secondsOf(*reading), atMost);
    // Voice processing and the codec change the level and may delay it by a window or
    // two, but the syllables and the pauses stay where they were.
    if (reading->frames() > 0) {
      EXPECT_GT(bestEnvelopeCorrelation(*reading, fed, 3), 0.8);
    }
  }
  ::testing::Test::RecordProperty("decodedSeconds", std::to_string(secondsOf(decoded)));
  return decoded;
}

class CompactRecording : public ::testing::TestWithParam<Compact> {};

// At 44.1 kHz, the rate Opus refuses: a control .wav beside it on the same microphone
// shows when every fed frame has arrived, so the stop loses nothing and the length
// must be what was fed. The closed file's header counts exactly what decodes (FLAC's
// sample count, the last Ogg page's position, MP3's encoder tag).
TEST_P(CompactRecording, ReadsBackAsItsCodecInMonoWithTheLengthFed) {
  const Compact compact = GetParam();
  PulseServer server({.rate = 44100, .channels = 2});
  ScratchDirectory out;
  const std::string path = out / (std::string("note.") + compact.extension);
  const std::string control = out / "control.wav";
  RecorderProcess recorder(recorderOn(server, path));
  RecorderProcess controlRecorder(recorderOn(server, control));
  recorder.waitForEvent("ready", 15s);
  controlRecorder.waitForEvent("ready", 15s);
  FifoFeeder feeder(server);
  const Audio fed = speechLikeSignal(44100, 2, 2.0);
  feedAndWaitForFile(feeder, fed, control);
  std::this_thread::sleep_for(300ms);  // the other recorder's last buffer
  stopUnlessGone(recorder);
  stopUnlessGone(controlRecorder);
  expectCleanFinish(recorder);
  expectCleanFinish(controlRecorder);

  std::string why;
  const auto info = inspectSoundFile(path, &why);
  ASSERT_TRUE(info.has_value()) << why;
  EXPECT_EQ(info->format, compact.format);
  EXPECT_EQ(info->channels, 1);
  EXPECT_EQ(info->rate, static_cast<int>(compact.rateFrom44k));
  const Audio decoded = expectDecodes(compact, path, fed, secondsOf(fed) - 0.05, secondsOf(fed) + 0.05, out.path());
  EXPECT_EQ(info->frames, static_cast<int64_t>(decoded.frames()));
}

// SIGKILL at five seconds: no close runs, yet the pages or frames flushed on the way
// (at least twice a second) hold all but the last moments.
TEST_P(CompactRecording, KilledAtFiveSecondsStillDecodesToFourSecondsOrMore) {
  const Compact compact = GetParam();
  Drill drill(false);
  const std::string path = drill.out / (std::string("note.") + compact.extension);
  RecorderProcess recorder(recorderOn(drill.server, path));
  recorder.waitForEvent("ready", 15s);
  FifoFeeder& feeder = drill.microphone();
  const Audio fed = speechLikeSignal(kRate, kChannels, 7.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (feeder.framesWritten() < kRate * 5) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "the feed stalled; events: " << recorder.describeEvents();
    std::this_thread::sleep_for(5ms);
  }
  const double fedAtKill = static_cast<double>(feeder.framesWritten()) / kRate;
  recorder.signal(SIGKILL);
  EXPECT_EQ(recorder.waitForExit(15s), 128 + SIGKILL);
  feeder.cancel();
  expectDecodes(compact, path, fed, 4.0, fedAtKill + 0.05, drill.out.path());
}

// The disk fills up: the system's words in one "error", then "finished" and status 0,
// and a file that decodes up to the failure.
TEST_P(CompactRecording, FullDiskStopsWithTheSystemsWordsAndTheAudioThatFit) {
  const Compact compact = GetParam();
  ScratchDirectory out;
  auto disk = ScratchMount::smallFileSystem(out / "disk", compact.diskBytes);
  PulseServer server({.rate = kRate, .channels = kChannels});
  const std::string path = out / (std::string("disk/note.") + compact.extension);
  RecorderProcess recorder(recorderOn(server, path));
  recorder.waitForEvent("ready", 15s);
  FifoFeeder feeder(server);
  const Audio fed = speechLikeSignal(kRate, kChannels, 10.0);
  feeder.feed(fed, FifoFeeder::Pace::realTime);
  expectStoppedByAWriteFailure(recorder, "No space left on device");
  feeder.cancel();

  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  RecordProperty("fileBytes", std::to_string(status.st_size));
  EXPECT_LE(status.st_size, compact.diskBytes);
  // Each disk takes about two seconds of its codec at the recorder's settings.
  expectDecodes(compact, path, fed, 1.0, secondsOf(fed) - 1.0, out.path());
}

INSTANTIATE_TEST_SUITE_P(
    Containers, CompactRecording,
    ::testing::Values(Compact{"flac", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 44100, false, 96 * 1024},
                      Compact{"opus", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, true, 12 * 1024},
                      Compact{"OGG", SF_FORMAT_OGG | SF_FORMAT_OPUS, 48000, true, 12 * 1024},
                      Compact{"mp3", SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III, 44100, false, 20 * 1024}),
    [](const auto& info) { return std::string(info.param.extension); });

}  // namespace
}  // namespace talvora::testing
