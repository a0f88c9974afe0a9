#include "platform/webrtc/webrtc_voice_processor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/system_wrappers/include/trace.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace talvora::platform {
namespace {

// The library works on 10 ms blocks, so only rates with a whole number of frames per
// block can be fed to it. Its float interface resamples anything else inside this
// range to one of its native rates (8, 16, 32 or 48 kHz) and back.
constexpr int kMinimumRate = 8000;
constexpr int kMaximumRate = 192000;
constexpr int kBlocksPerSecond = 1000 / webrtc::AudioProcessing::kChunkSizeMs;

std::string rateText(double rate) {
  if (std::isfinite(rate) && rate == std::floor(rate)) return std::to_string(static_cast<long long>(rate));
  char text[64];
  std::snprintf(text, sizeof text, "%g", rate);
  return text;
}

std::string libraryErrorText(int code) {
  switch (code) {
    case webrtc::AudioProcessing::kBadSampleRateError: return "unsupported sample rate";
    case webrtc::AudioProcessing::kBadNumberChannelsError: return "unsupported channel count";
    case webrtc::AudioProcessing::kCreationFailedError: return "creation failed";
    case webrtc::AudioProcessing::kUnsupportedComponentError: return "unsupported component";
    case webrtc::AudioProcessing::kBadParameterError: return "bad parameter";
    default: return "error " + std::to_string(code);
  }
}

// Feeds the library whole 10 ms blocks of the mono mix. The output is the processed
// stream delayed by exactly one block less one frame: that much processed audio is always
// ready when a call ends, whatever the call sizes, so every call can hand back as many
// frames as it received.
class WebRtcVoiceProcessor final : public VoiceProcessor {
 public:
  WebRtcVoiceProcessor(std::unique_ptr<webrtc::AudioProcessing> library, int rate, uint32_t maxFrames)
      : library_(std::move(library)),
        stream_(rate, 1),
        blockFrames_(static_cast<uint32_t>(rate / kBlocksPerSecond)),
        chunkFrames_(std::max<uint32_t>(maxFrames, 1)),
        gathered_(blockFrames_),
        processed_(blockFrames_),
        ready_(chunkFrames_ + blockFrames_),
        readyCount_(blockFrames_ - 1) {}

  void process(float* samples, uint32_t frames) override {
    // Calls larger than promised are split rather than overflowing the ring.
    for (uint32_t offset = 0; offset < frames; offset += chunkFrames_) {
      processChunk(samples + offset, std::min(chunkFrames_, frames - offset));
    }
  }

 private:
  // All input of the chunk is gathered before any output is written over it.
  void processChunk(float* samples, uint32_t frames) {
    uint32_t consumed = 0;
    while (consumed < frames) {
      const uint32_t n = std::min(frames - consumed, blockFrames_ - gatheredCount_);
      std::memcpy(gathered_.data() + gatheredCount_, samples + consumed, n * sizeof(float));
      gatheredCount_ += n;
      consumed += n;
      if (gatheredCount_ == blockFrames_) {
        runBlock();
        gatheredCount_ = 0;
      }
    }
    const size_t capacity = ready_.size();
    const size_t first = std::min<size_t>(frames, capacity - readAt_);
    std::memcpy(samples, ready_.data() + readAt_, first * sizeof(float));
    std::memcpy(samples + first, ready_.data(), (frames - first) * sizeof(float));
    readAt_ = (readAt_ + frames) % capacity;
    readyCount_ -= frames;
  }

  void runBlock() {
    const float* source = gathered_.data();
    float* destination = processed_.data();
    if (library_->ProcessStream(&source, stream_, stream_, &destination) != webrtc::AudioProcessing::kNoError) {
      // Losing audio is worse than passing one block through unprocessed.
      std::memcpy(destination, source, blockFrames_ * sizeof(float));
    }
    const size_t capacity = ready_.size();
    const size_t writeAt = (readAt_ + readyCount_) % capacity;
    const size_t first = std::min<size_t>(blockFrames_, capacity - writeAt);
    std::memcpy(ready_.data() + writeAt, destination, first * sizeof(float));
    std::memcpy(ready_.data(), destination + first, (blockFrames_ - first) * sizeof(float));
    readyCount_ += blockFrames_;
  }

  std::unique_ptr<webrtc::AudioProcessing> library_;
  const webrtc::StreamConfig stream_;
  const uint32_t blockFrames_;
  const uint32_t chunkFrames_;
  // The block being gathered from the input.
  std::vector<float> gathered_;
  uint32_t gatheredCount_ = 0;
  // The library's output for the last block.
  std::vector<float> processed_;
  // Processed frames not yet handed out. Starts with one block less one frame of
  // silence; it never holds more than that plus one chunk.
  std::vector<float> ready_;
  size_t readAt_ = 0;
  size_t readyCount_;
};

Status check(int code, const std::string& what) {
  if (code == webrtc::AudioProcessing::kNoError) return std::nullopt;
  return Error{std::string("the voice processor could not ") + what + " (" + libraryErrorText(code) + ")"};
}

}  // namespace

Result<std::unique_ptr<VoiceProcessor>> makeWebRtcVoiceProcessor(double rate, uint32_t maxFrames) {
  if (!(rate >= kMinimumRate && rate <= kMaximumRate) || rate != std::floor(rate) ||
      static_cast<long>(rate) % kBlocksPerSecond != 0) {
    return Error{"the voice processor does not support " + rateText(rate) + " Hz input"};
  }

  // The library traces only into a file or callback that nobody sets here; filtering
  // everything keeps it quiet even if that changes, since standard error must stay clean.
  webrtc::Trace::set_level_filter(webrtc::kTraceNone);

  // The experimental gain control steers an analogue microphone volume that this
  // recorder does not own; the adaptive digital one below works on the samples alone.
  webrtc::Config config;
  config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
  std::unique_ptr<webrtc::AudioProcessing> library(webrtc::AudioProcessing::Create(config));
  if (!library) return Error{"the voice processor could not be created"};

  // The capture object mixes the microphone down before processing: the library gets mono.
  const int hz = static_cast<int>(rate);
  webrtc::ProcessingConfig streams;
  streams.input_stream() = webrtc::StreamConfig(hz, 1);
  streams.output_stream() = webrtc::StreamConfig(hz, 1);
  streams.reverse_input_stream() = webrtc::StreamConfig(hz, 1);
  streams.reverse_output_stream() = webrtc::StreamConfig(hz, 1);
  if (Status failed = check(library->Initialize(streams), "start at " + rateText(rate) + " Hz")) {
    return *failed;
  }
  if (Status failed = check(library->high_pass_filter()->Enable(true), "enable the high-pass filter")) return *failed;
  // Moderate rather than high suppression: stronger settings eat into quiet speech,
  // which hurts transcription more than a little residual noise does.
  if (Status failed = check(library->noise_suppression()->set_level(webrtc::NoiseSuppression::kModerate),
                            "set the noise suppression level")) {
    return *failed;
  }
  if (Status failed = check(library->noise_suppression()->Enable(true), "enable noise suppression")) return *failed;
  if (Status failed = check(library->gain_control()->set_mode(webrtc::GainControl::kAdaptiveDigital),
                            "set the gain control mode")) {
    return *failed;
  }
  if (Status failed = check(library->gain_control()->Enable(true), "enable gain control")) return *failed;

  return std::unique_ptr<VoiceProcessor>(
      new WebRtcVoiceProcessor(std::move(library), hz, maxFrames));
}

}  // namespace talvora::platform
