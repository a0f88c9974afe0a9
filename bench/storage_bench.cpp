// How fast the storage path takes audio: the real capture object (tap, 8-slot hand-over,
// capture queue) writing through the real sndfile backend to a file in /tmp, fed
// 2048-frame mono buffers far faster than real time by a stand-in engine whose "audio
// thread" is the benchmark thread. Every container's encoding runs where the recorder
// runs it, on the capture queue.
//
// The feeder never has more than kInFlight buffers between the tap and the file (it
// waits on a counter the file wrapper advances), below the 8 hand-over slots: the run
// measures how fast the path drains, not how it overflows. An overflow, which the
// capture object reports as an "error" event, fails the benchmark.
//
// Counters, over all iterations:
//   x_realtime       seconds of audio stored per second of wall time, from the first
//                    buffer to the closed file
//   cpu_per_audio_s  CPU seconds of the whole process (feeder and capture queue) per
//                    second of audio
// Arguments: voice_processing 0 = buffers go straight to the tap, 1 = through the WebRTC
// voice processor first, on the feeding thread, as the PulseAudio engine runs it;
// container, an index into kExtensions; rate, the microphone's (44100 makes the Opus
// writer resample to 48 kHz).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "capture/voice_capture.h"
#include "platform/sndfile/sndfile_audio_file.h"
#include "platform/webrtc/webrtc_voice_processor.h"

namespace {

using namespace talvora;
using platform::AudioFormat;
using platform::Error;
using platform::Status;

constexpr uint32_t kFrames = capture::VoiceCapture::kTapBufferSize;
constexpr uint64_t kInFlight = capture::VoiceCapture::kSlotCount - 2;
// Ten minutes of audio per iteration (at 48 kHz, a 115 MB .wav).
constexpr double kSeconds = 600;
constexpr const char* kExtensions[] = {"wav", "flac", "opus", "mp3"};

// What reached the file in the current iteration.
struct Progress {
  std::atomic<uint64_t> frames{0};
  std::atomic<bool> closed{false};
};

class CountingFile final : public platform::AudioFile {
 public:
  CountingFile(std::unique_ptr<platform::AudioFile> inner, std::shared_ptr<Progress> progress)
      : inner_(std::move(inner)), progress_(std::move(progress)) {}
  ~CountingFile() override {
    inner_.reset();  // closes and completes the file
    progress_->closed = true;
    progress_->closed.notify_all();
  }
  Status write(const float* samples, uint32_t frames) override {
    Status result = inner_->write(samples, frames);
    progress_->frames.fetch_add(frames);
    progress_->frames.notify_all();
    return result;
  }

 private:
  std::unique_ptr<platform::AudioFile> inner_;
  std::shared_ptr<Progress> progress_;
};

class CountingFiles final : public platform::AudioFileFactory {
 public:
  platform::Result<std::unique_ptr<platform::AudioFile>> createForWriting(const std::string& path,
                                                                          AudioFormat format) override {
    auto made = real_->createForWriting(path, format);
    if (!made) return made.error();
    return std::unique_ptr<platform::AudioFile>(std::make_unique<CountingFile>(made.take(), progress));
  }
  std::shared_ptr<Progress> progress = std::make_shared<Progress>();

 private:
  std::shared_ptr<platform::AudioFileFactory> real_ = platform::makeSndfileAudioFileFactory();
};

// The microphone: mono at the benchmark's rate. Voice processing, when measured, is the capture
// object's own, with the real processor.
class FeederInput final : public platform::AudioInputNode {
 public:
  explicit FeederInput(double rate) : rate_(rate) {}
  platform::Result<AudioFormat> inputFormat() override { return AudioFormat{rate_, 1}; }
  void installTap(uint32_t, TapHandler handler) override {
    std::lock_guard lock(mutex_);
    tap_ = std::move(handler);
  }
  void removeTap() override {
    std::lock_guard lock(mutex_);
    tap_ = nullptr;
  }
  void setInterruptionHandler(InterruptionHandler) override {}

  // One delivery, as the audio thread makes it.
  void deliver(const float* samples) {
    std::lock_guard lock(mutex_);
    if (!tap_) return;
    tap_(platform::AudioBufferView{&samples, 1, kFrames});
  }

 private:
  const double rate_;
  std::mutex mutex_;
  TapHandler tap_;
};

class FeederEngine final : public platform::AudioEngine {
 public:
  explicit FeederEngine(double rate) : input(rate) {}
  platform::AudioInputNode& inputNode() override { return input; }
  Status start() override { return std::nullopt; }
  void stop() override {}
  FeederInput input;
};

// A second of speech-band noise with a slow tone, cut into buffers the feeder cycles
// through.
std::vector<std::vector<float>> sourceBuffers(double rate) {
  std::mt19937 random(11);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<std::vector<float>> buffers(static_cast<size_t>(rate / kFrames) + 1, std::vector<float>(kFrames));
  size_t t = 0;
  for (auto& buffer : buffers) {
    for (float& x : buffer) {
      x = noise(random) + 0.2f * std::sin(2.0f * 3.14159265f * 220.0f * static_cast<float>(t++) / static_cast<float>(rate));
    }
  }
  return buffers;
}

double processCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_StoragePath(benchmark::State& state) {
  const bool processing = state.range(0) != 0;
  const std::string extension = kExtensions[state.range(1)];
  const double rate = static_cast<double>(state.range(2));
  const uint64_t buffersPerRecording = static_cast<uint64_t>(kSeconds * rate / kFrames);
  const std::string path = "/tmp/talvora-storage-bench-" + std::to_string(getpid()) + "." + extension;
  const auto buffers = sourceBuffers(rate);
  double audioSeconds = 0, wallSeconds = 0, cpuSeconds = 0;

  for (auto _ : state) {
    auto files = std::make_shared<CountingFiles>();
    std::shared_ptr<Progress> progress = files->progress;
    FeederEngine* engine = nullptr;
    platform::Platform platform;
    platform.makeEngine = [&engine, rate] {
      auto made = std::make_unique<FeederEngine>(rate);
      engine = made.get();
      return made;
    };
    if (processing) {
      platform.makeVoiceProcessor = [](double rate, uint32_t maxFrames, bool echoCancellation) {
        return platform::makeWebRtcVoiceProcessor(rate, maxFrames, echoCancellation);
      };
    } else {
      platform.makeVoiceProcessor = [](double, uint32_t, bool) -> platform::Result<std::unique_ptr<platform::VoiceProcessor>> {
        return Error{"left out of this benchmark"};
      };
    }
    platform.files = files;

    std::mutex eventsMutex;
    std::vector<std::string> errors;
    auto exited = std::make_shared<std::promise<void>>();
    auto emit = [&](const protocol::Event& event) {
      const auto& kind = std::get<std::string>(event.fields.front().second);
      if (kind != "error") return;
      std::lock_guard lock(eventsMutex);
      errors.push_back(std::get<std::string>(event.fields.at(1).second));
    };
    auto capture = capture::VoiceCapture::create(path, 24 * 3600, std::move(platform),
                                                 {emit, [exited](int) { exited->set_value(); }});

    const double cpuBefore = processCpuSeconds();
    const auto begin = std::chrono::steady_clock::now();
    Error failure;
    if (capture->startUnlessStopped(false, &failure) != capture::VoiceCapture::StartOutcome::started) {
      state.SkipWithError(("the capture did not start: " + failure.description).c_str());
      break;
    }
    uint64_t delivered = 0;
    for (uint64_t i = 0; i < buffersPerRecording; ++i) {
      uint64_t written = progress->frames.load();
      while (delivered - written >= kInFlight * kFrames) {
        progress->frames.wait(written);
        written = progress->frames.load();
      }
      engine->input.deliver(buffers[i % buffers.size()].data());
      delivered += kFrames;
    }
    for (uint64_t written = progress->frames.load(); written < delivered; written = progress->frames.load()) {
      progress->frames.wait(written);
    }
    capture->requestStop();
    while (!progress->closed.load()) progress->closed.wait(false);
    const auto end = std::chrono::steady_clock::now();
    const double cpuAfter = processCpuSeconds();

    const double wall = std::chrono::duration<double>(end - begin).count();
    state.SetIterationTime(wall);
    wallSeconds += wall;
    cpuSeconds += cpuAfter - cpuBefore;
    audioSeconds += static_cast<double>(delivered) / rate;

    // "finished" follows the stop by a second; the queue must be idle before the capture
    // object goes.
    exited->get_future().wait();
    std::promise<void> idle;
    capture->captureQueue().async([&idle] { idle.set_value(); });
    idle.get_future().wait();
    capture.reset();
    if (!errors.empty()) {
      state.SkipWithError(("the capture reported: " + errors.front()).c_str());
      break;
    }
  }
  struct stat written {};
  if (stat(path.c_str(), &written) == 0) state.counters["file_MB"] = static_cast<double>(written.st_size) / 1e6;
  unlink(path.c_str());
  state.SetLabel("." + extension);
  state.counters["x_realtime"] = wallSeconds > 0 ? audioSeconds / wallSeconds : 0;
  state.counters["cpu_per_audio_s"] = audioSeconds > 0 ? cpuSeconds / audioSeconds : 0;
  state.counters["audio_s"] = audioSeconds;
}
BENCHMARK(BM_StoragePath)
    ->ArgNames({"voice_processing", "container", "rate"})
    ->Args({0, 0, 48000})
    ->Args({1, 0, 48000})
    ->Args({0, 1, 48000})
    ->Args({0, 2, 48000})
    ->Args({0, 2, 44100})
    ->Args({0, 3, 48000})
    ->Args({1, 3, 44100})
    ->UseManualTime()
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

}  // namespace
