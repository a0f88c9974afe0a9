// How fast the storage path takes audio: the real capture object (tap, 8-slot hand-over,
// capture queue) writing through the real sndfile backend to a .wav in /tmp, fed
// 2048-frame mono buffers at 48 kHz far faster than real time by a stand-in engine whose
// "audio thread" is the benchmark thread.
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
// Argument: 0 = buffers go straight to the tap; 1 = through the WebRTC voice processor
// first, on the feeding thread, as the PulseAudio engine runs it.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
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
constexpr double kRate = 48000;
constexpr uint64_t kInFlight = capture::VoiceCapture::kSlotCount - 2;
// Ten minutes of audio per iteration: a 115 MB file.
constexpr uint64_t kBuffersPerRecording = static_cast<uint64_t>(600 * kRate / kFrames);

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

// The microphone: mono at 48 kHz. Voice processing, when measured, is the capture
// object's own, with the real processor.
class FeederInput final : public platform::AudioInputNode {
 public:
  platform::Result<AudioFormat> inputFormat() override { return AudioFormat{kRate, 1}; }
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
  std::mutex mutex_;
  TapHandler tap_;
};

class FeederEngine final : public platform::AudioEngine {
 public:
  platform::AudioInputNode& inputNode() override { return input; }
  Status start() override { return std::nullopt; }
  void stop() override {}
  FeederInput input;
};

// A second of speech-band noise with a slow tone, cut into buffers the feeder cycles
// through.
std::vector<std::vector<float>> sourceBuffers() {
  std::mt19937 random(11);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<std::vector<float>> buffers(static_cast<size_t>(kRate / kFrames) + 1, std::vector<float>(kFrames));
  size_t t = 0;
  for (auto& buffer : buffers) {
    for (float& x : buffer) x = noise(random) + 0.2f * std::sin(2.0f * 3.14159265f * 220.0f * static_cast<float>(t++) / 48000.0f);
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
  const std::string path = "/tmp/talvora-storage-bench-" + std::to_string(getpid()) + ".wav";
  const auto buffers = sourceBuffers();
  double audioSeconds = 0, wallSeconds = 0, cpuSeconds = 0;

  for (auto _ : state) {
    auto files = std::make_shared<CountingFiles>();
    std::shared_ptr<Progress> progress = files->progress;
    FeederEngine* engine = nullptr;
    platform::Platform platform;
    platform.makeEngine = [&engine] {
      auto made = std::make_unique<FeederEngine>();
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
    auto emit = [&](const events::Event& event) {
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
    for (uint64_t i = 0; i < kBuffersPerRecording; ++i) {
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
    audioSeconds += static_cast<double>(delivered) / kRate;

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
  unlink(path.c_str());
  state.counters["x_realtime"] = wallSeconds > 0 ? audioSeconds / wallSeconds : 0;
  state.counters["cpu_per_audio_s"] = audioSeconds > 0 ? cpuSeconds / audioSeconds : 0;
  state.counters["audio_s"] = audioSeconds;
}
BENCHMARK(BM_StoragePath)->Arg(0)->Arg(1)->ArgName("voice_processing")->UseManualTime()->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace
