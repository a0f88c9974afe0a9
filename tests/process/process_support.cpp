#include "process/process_support.h"

#include <sndfile.h>
#include <sys/mount.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef TALVORA_LIBRIVOX_DIRECTORY
#error "TALVORA_LIBRIVOX_DIRECTORY must name the LibriVox test excerpts"
#endif

namespace talvora::testing {

ScratchDirectory::ScratchDirectory(unsigned mode) : path_(makeTemporaryDirectory("talvora-process", mode)) {}

ScratchDirectory::~ScratchDirectory() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::unique_ptr<ScratchMount> ScratchMount::smallFileSystem(const std::string& where, int64_t bytes) {
  std::filesystem::create_directories(where);
  const std::string options = "size=" + std::to_string(bytes) + ",mode=0755";
  if (::mount("talvora-full", where.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) != 0) {
    throw std::runtime_error("cannot mount a tmpfs on " + where + ": " + std::strerror(errno));
  }
  return std::unique_ptr<ScratchMount>(new ScratchMount(where));
}

std::unique_ptr<ScratchMount> ScratchMount::readOnly(const std::string& where) {
  if (::mount(where.c_str(), where.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
      ::mount(nullptr, where.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) != 0) {
    const int error = errno;
    ::umount2(where.c_str(), MNT_DETACH);
    throw std::runtime_error("cannot make " + where + " a read-only bind mount: " + std::strerror(error));
  }
  return std::unique_ptr<ScratchMount>(new ScratchMount(where));
}

ScratchMount::~ScratchMount() { ::umount2(where_.c_str(), MNT_DETACH); }

Drill::Drill(bool startRecorder) : server({.rate = kRate, .channels = kChannels}), path(out / "note.wav") {
  if (!startRecorder) return;
  recorder.emplace(recorderOn(server, path));
  recorder->waitForEvent("ready", 15s);
}

FifoFeeder& Drill::microphone() {
  if (!feeder) feeder.emplace(server);
  return *feeder;
}

Audio Drill::feedAndWait(double seconds, int64_t fileFramesBefore) {
  const Audio fed = speechLikeSignal(kRate, kChannels, seconds);
  feedAndWaitForFile(microphone(), fed, path, fileFramesBefore);
  return fed;
}

RecorderOptions recorderOn(const PulseServer& server, const std::string& output, const std::string& maximum,
                           const std::string& transcribe) {
  RecorderOptions options;
  options.operands = {output, maximum, transcribe};
  options.environment = server.clientEnvironment();
  options.workingDirectory = server.directory();
  return options;
}

Environment serverlessEnvironment(const std::string& home) {
  return {{"PULSE_SERVER", "unix:" + home + "/nobody-listens"},
          {"HOME", home},
          {"PATH", "/usr/bin:/bin"},
          {"LANG", "C"}};
}

double numberOf(const Json& event, const std::string& key) {
  if (!event.contains(key) || !event[key].is_number()) {
    ADD_FAILURE() << "no number \"" << key << "\" in " << event.dump();
    return std::numeric_limits<double>::quiet_NaN();
  }
  return event[key].get<double>();
}

std::string textOf(const Json& event, const std::string& key) {
  if (!event.contains(key) || !event[key].is_string()) {
    ADD_FAILURE() << "no string \"" << key << "\" in " << event.dump();
    return "";
  }
  return event[key].get<std::string>();
}

std::optional<WavLayout> readWavLayout(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  auto u32 = [&](size_t at) -> int64_t {
    if (at + 4 > bytes.size()) return -1;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data() + at);
    return static_cast<int64_t>(p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24));
  };
  if (bytes.size() < 12 || bytes.compare(0, 4, "RIFF") != 0 || bytes.compare(8, 4, "WAVE") != 0) return std::nullopt;
  WavLayout layout;
  layout.riffBytes = u32(4);
  layout.fileBytes = static_cast<int64_t>(bytes.size());
  size_t at = 12;
  while (at + 8 <= bytes.size()) {
    const int64_t size = u32(at + 4);
    if (bytes.compare(at, 4, "data") == 0) {
      layout.dataOffset = static_cast<int64_t>(at + 8);
      layout.dataBytes = size;
      return layout;
    }
    at += 8 + static_cast<size_t>(size) + static_cast<size_t>(size & 1);
  }
  return std::nullopt;
}

std::optional<SoundFileInfo> expectPlayable(const std::string& path, unsigned rate, bool closed,
                                            int64_t unclosedLagBytes) {
  std::string why;
  auto info = inspectSoundFile(path, &why);
  if (!info) {
    ADD_FAILURE() << path << " does not open: " << why;
    return std::nullopt;
  }
  EXPECT_EQ(info->format & SF_FORMAT_SUBMASK, SF_FORMAT_FLOAT) << path;
  EXPECT_EQ(info->channels, 1) << path;
  EXPECT_EQ(info->rate, static_cast<int>(rate)) << path;
  // The samples must be readable too, not just the header.
  try {
    const Audio read = readSoundFile(path);
    EXPECT_EQ(static_cast<int64_t>(read.frames()), info->frames) << path;
  } catch (const std::exception& e) {
    ADD_FAILURE() << path << ": " << e.what();
  }
  if ((info->format & SF_FORMAT_TYPEMASK) == SF_FORMAT_WAV) {
    const auto layout = readWavLayout(path);
    if (!layout) {
      ADD_FAILURE() << path << ": no RIFF/WAVE header with a data chunk";
      return info;
    }
    // What follows the header is samples, a partial last frame at most.
    const int64_t present = layout->fileBytes - layout->dataOffset;
    if (closed) {
      EXPECT_EQ(layout->riffBytes, layout->fileBytes - 8 - (present - layout->dataBytes)) << path;
      EXPECT_LE(layout->dataBytes, present) << path;
      EXPECT_GT(layout->dataBytes, present - 4) << path << ": the header does not count what the file holds";
    } else {
      EXPECT_LE(layout->dataBytes, present) << path;
      EXPECT_GE(layout->dataBytes, present - unclosedLagBytes)
          << path << ": the header lags " << present - layout->dataBytes << " bytes behind the samples";
    }
    EXPECT_EQ(layout->dataBytes / 4, info->frames) << path;
  }
  return info;
}

void feedAndWaitForFile(FifoFeeder& feeder, const Audio& audio, const std::string& path, int64_t fileFramesBefore) {
  feeder.feed(audio, FifoFeeder::Pace::realTime);
  ASSERT_TRUE(feeder.waitUntilDrained(30s)) << "the server did not read the microphone FIFO";
  int64_t seen = 0;
  const int64_t wanted = fileFramesBefore + static_cast<int64_t>(audio.frames());
  ASSERT_TRUE(waitForFileFrames(path, wanted, 15s, &seen)) << seen << " of " << wanted << " frames reached the file";
}

void expectStillRecording(RecorderProcess& recorder, std::chrono::milliseconds span) {
  const auto& events = recorder.events();
  const auto ready = std::find_if(events.begin(), events.end(), [](const Json& e) { return e["event"] == "ready"; });
  ASSERT_NE(ready, events.end()) << "not recording yet";
  const auto readyAt = recorder.eventTimes()[static_cast<size_t>(ready - events.begin())];
  const double until = std::chrono::duration<double>(RecorderProcess::Clock::now() - readyAt + span).count();
  while (true) {
    auto event = recorder.nextEvent(5s);
    ASSERT_TRUE(event.has_value()) << "output ended; events: " << recorder.describeEvents();
    ASSERT_NE((*event)["event"], "finished") << "the recorder stopped: " << recorder.describeEvents();
    if ((*event)["event"] == "level" && numberOf(*event, "elapsedSeconds") >= until) return;
  }
}

void stopUnlessGone(RecorderProcess& recorder) {
  try {
    recorder.sendStop();
  } catch (const std::runtime_error&) {
    // Broken pipe: it has exited.
  }
}

Json expectCleanFinish(RecorderProcess& recorder) {
  const Json finished = recorder.waitForEvent("finished", 15s);
  EXPECT_EQ(recorder.waitForExit(15s), 0);
  EXPECT_EQ(recorder.standardError(), "");
  EXPECT_TRUE(recorder.eventsOfKind("error").empty()) << recorder.describeEvents();
  return finished;
}

void expectStoppedByAWriteFailure(RecorderProcess& recorder, const std::string& message) {
  const Json error = recorder.waitForEvent("error", 30s);
  EXPECT_EQ(textOf(error, "message"), message);
  EXPECT_EQ(error.size(), 2u) << error.dump();
  recorder.waitForEvent("finished", 15s);
  EXPECT_EQ(recorder.waitForExit(15s), 0);
  EXPECT_EQ(recorder.standardError(), "");
  EXPECT_EQ(recorder.eventsOfKind("error").size(), 1u) << recorder.describeEvents();
}

bool voiceProcessingWasOff(const std::vector<Json>& events) {
  for (const auto& event : ofKind(events, "warning")) {
    if (!event.contains("message") || !event["message"].is_string()) continue;
    std::string message = event["message"];
    std::transform(message.begin(), message.end(), message.begin(), [](unsigned char c) { return std::tolower(c); });
    if (message.find("voice processing") != std::string::npos) return true;
  }
  return false;
}

void expectRecordingFollows(const std::string& path, const Audio& fed, bool voiceProcessingOff) {
  std::vector<float> recorded = readSoundFile(path).samples;
  std::vector<float> expected = fed.mixDown();
  if (serverKindOfThisRun() == ServerKind::pulse) {
    ASSERT_LE(recorded.size(), expected.size()) << "more was recorded than fed";
  } else {
    recorded = fromFirstSound(std::move(recorded));
    expected = fromFirstSound(std::move(expected));
    if (recorded.size() > expected.size()) recorded.resize(expected.size());
  }
  expected.resize(recorded.size());
  if (voiceProcessingOff) {
    size_t mismatches = 0;
    for (size_t i = 0; i < expected.size(); ++i) {
      if (std::fabs(recorded[i] - expected[i]) > 1e-6f) ++mismatches;
    }
    EXPECT_EQ(mismatches, 0u) << "of " << expected.size() << " samples";
  } else {
    // 20 ms windows, up to two of them of processing delay; an unrelated or silent
    // recording scores near 0.
    const size_t window = fed.rate / 50;
    ASSERT_GE(expected.size(), 10 * window) << "too short to compare";
    EXPECT_GT(bestEnvelopeCorrelation(recorded, expected, window, 2), 0.8)
        << "the recording does not follow what was fed";
  }
}

Audio silence(unsigned rate, unsigned channels, double seconds) {
  Audio audio;
  audio.rate = rate;
  audio.channels = channels;
  audio.samples.assign(static_cast<size_t>(std::llround(seconds * rate)) * channels, 0.0f);
  return audio;
}

Audio concatenate(const Audio& a, const Audio& b) {
  if (a.rate != b.rate || a.channels != b.channels) throw std::invalid_argument("concatenate: formats differ");
  Audio joined = a;
  joined.samples.insert(joined.samples.end(), b.samples.begin(), b.samples.end());
  return joined;
}

Audio librivoxExcerpt(const std::string& name) {
  return readSoundFile(std::string(TALVORA_LIBRIVOX_DIRECTORY) + "/" + name + ".wav");
}

std::optional<long> procStatusKilobytes(pid_t pid, const std::string& field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(field + ":", 0) != 0) continue;
    std::istringstream value(line.substr(field.size() + 1));
    long kilobytes = 0;
    if (value >> kilobytes) return kilobytes;
  }
  return std::nullopt;
}

std::vector<Json> ofKind(const std::vector<Json>& events, const std::string& kind) {
  std::vector<Json> found;
  for (const auto& e : events) {
    if (e["event"] == kind) found.push_back(e);
  }
  return found;
}

}  // namespace talvora::testing
