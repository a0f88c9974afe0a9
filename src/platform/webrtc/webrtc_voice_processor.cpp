#include "platform/webrtc/webrtc_voice_processor.h"

#include <webrtc/modules/audio_processing/include/audio_processing.h>
#include <webrtc/system_wrappers/include/trace.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

namespace talvora::platform {
namespace {

using webrtc::AudioProcessing;

// The library works on 10 ms blocks, so only rates with a whole number of frames per
// block can be fed to it. Its float interface resamples anything else inside this
// range to one of its native rates (8, 16, 32 or 48 kHz) and back.
constexpr int kMinimumRate = 8000;
constexpr int kMaximumRate = 192000;
constexpr int kBlocksPerSecond = 1000 / AudioProcessing::kChunkSizeMs;

constexpr double kHighPassHz = 90;
// The far end waiting to be fed is kept for at most this long (besides one delivery); a
// reference that runs ahead of the microphone for longer loses its oldest frames.
constexpr double kReferenceBacklogSeconds = 0.5;
// The library takes stream delays up to this.
constexpr double kMaximumEchoDelayMs = 500;
// How much each reference delivery moves the estimate of where the far end stands
// against the microphone: about a second of deliveries, so the jitter of both streams'
// delivery sizes averages out.
constexpr double kOffsetSmoothing = 0.05;

std::string rateText(double rate) {
  if (std::isfinite(rate) && rate == std::floor(rate)) return std::to_string(static_cast<long long>(rate));
  char text[64];
  std::snprintf(text, sizeof text, "%g", rate);
  return text;
}

std::string libraryErrorText(int code) {
  switch (code) {
    case AudioProcessing::kBadSampleRateError: return "unsupported sample rate";
    case AudioProcessing::kBadNumberChannelsError: return "unsupported channel count";
    case AudioProcessing::kCreationFailedError: return "creation failed";
    case AudioProcessing::kUnsupportedComponentError: return "unsupported component";
    case AudioProcessing::kBadParameterError: return "bad parameter";
    default: return "error " + std::to_string(code);
  }
}

Status check(int code, const std::string& what) {
  if (code == AudioProcessing::kNoError) return std::nullopt;
  return Error{std::string("the voice processor could not ") + what + " (" + libraryErrorText(code) + ")"};
}

// A fixed-capacity queue of samples: the block buffering, the far end's backlog and the
// delay line of the unsuppressed signal. Pushing more than there is space for, or popping
// more than there is, is the caller's error.
class SampleQueue {
 public:
  explicit SampleQueue(size_t capacity) : data_(std::max<size_t>(capacity, 1)) {}

  size_t size() const { return count_; }
  size_t space() const { return data_.size() - count_; }
  size_t capacity() const { return data_.size(); }

  // Null `samples`: silence.
  void push(const float* samples, size_t frames) {
    const size_t at = (read_ + count_) % data_.size();
    const size_t first = std::min(frames, data_.size() - at);
    copy(data_.data() + at, samples, first);
    copy(data_.data(), samples ? samples + first : nullptr, frames - first);
    count_ += frames;
  }

  // Null `out`: the frames are dropped.
  void pop(float* out, size_t frames) {
    const size_t first = std::min(frames, data_.size() - read_);
    if (out) {
      std::memcpy(out, data_.data() + read_, first * sizeof(float));
      std::memcpy(out + first, data_.data(), (frames - first) * sizeof(float));
    }
    read_ = (read_ + frames) % data_.size();
    count_ -= frames;
  }

 private:
  static void copy(float* to, const float* from, size_t frames) {
    if (from) {
      std::memcpy(to, from, frames * sizeof(float));
    } else {
      std::fill(to, to + frames, 0.0f);
    }
  }

  std::vector<float> data_;
  size_t read_ = 0;
  size_t count_ = 0;
};

// Second-order Butterworth high-pass (bilinear transform), in double precision so the
// poles this close to 1 stay stable and quiet.
class HighPass {
 public:
  HighPass(double rate, double cutoff) {
    const double w = 2 * std::numbers::pi * cutoff / rate;
    const double alpha = std::sin(w) / std::numbers::sqrt2;
    const double c = std::cos(w);
    const double a0 = 1 + alpha;
    b0_ = (1 + c) / 2 / a0;
    b1_ = -(1 + c) / a0;
    a1_ = -2 * c / a0;
    a2_ = (1 - alpha) / a0;
  }

  void run(float* samples, size_t frames) {
    for (size_t i = 0; i < frames; ++i) {
      const double x = samples[i];
      const double y = b0_ * x + z1_;
      z1_ = b1_ * x - a1_ * y + z2_;
      z2_ = b0_ * x - a2_ * y;
      samples[i] = static_cast<float>(y);
    }
  }

 private:
  double b0_, b1_, a1_, a2_;  // b2 == b0
  double z1_ = 0, z2_ = 0;
};

struct Library {
  std::unique_ptr<AudioProcessing> processing;
  webrtc::StreamConfig stream;

  // Runs one block; on failure passes it through, since losing audio is worse than one
  // block unprocessed.
  void run(const float* in, float* out, uint32_t frames) {
    if (processing->ProcessStream(&in, stream, stream, &out) != AudioProcessing::kNoError && in != out) {
      std::memcpy(out, in, frames * sizeof(float));
    }
  }
};

Result<Library> makeLibrary(int hz, bool echoCancellation) {
  webrtc::Config config;
  // The experimental gain control steers an analogue microphone volume that this
  // recorder does not own.
  config.Set<webrtc::ExperimentalAgc>(new webrtc::ExperimentalAgc(false));
  if (echoCancellation) {
    // Measured well against a desktop's speakers: the delay is estimated from the signals
    // (the streams' latencies are only a hint), and the longer filter covers a room.
    config.Set<webrtc::DelayAgnostic>(new webrtc::DelayAgnostic(true));
    config.Set<webrtc::ExtendedFilter>(new webrtc::ExtendedFilter(true));
  }
  std::unique_ptr<AudioProcessing> processing(AudioProcessing::Create(config));
  if (!processing) return Error{"the voice processor could not be created"};
  // The capture object mixes the microphone down before processing: the library gets mono.
  webrtc::ProcessingConfig streams;
  for (webrtc::StreamConfig* s : {&streams.input_stream(), &streams.output_stream(), &streams.reverse_input_stream(),
                                  &streams.reverse_output_stream()}) {
    *s = webrtc::StreamConfig(hz, 1);
  }
  if (Status failed = check(processing->Initialize(streams), "start at " + std::to_string(hz) + " Hz")) {
    return *failed;
  }
  return Library{std::move(processing), webrtc::StreamConfig(hz, 1)};
}

webrtc::NoiseSuppression::Level libraryLevel(WebRtcVoiceSettings::Suppression level) {
  using S = WebRtcVoiceSettings::Suppression;
  switch (level) {
    case S::low: return webrtc::NoiseSuppression::kLow;
    case S::moderate: return webrtc::NoiseSuppression::kModerate;
    case S::veryHigh: return webrtc::NoiseSuppression::kVeryHigh;
    default: return webrtc::NoiseSuppression::kHigh;
  }
}

// How many frames the suppression stage delays its signal (its filter bank and its
// overlapping analysis windows), found by sending an impulse through it: the
// unsuppressed signal is delayed by as much so the two can be crossfaded. Resets the
// stage afterwards.
uint32_t measureDelay(Library& stage, int hz) {
  const uint32_t block = static_cast<uint32_t>(hz / kBlocksPerSecond);
  const uint32_t at = 5 * block + 3;
  std::vector<float> in(static_cast<size_t>(block) * 50, 0.0f), out(in.size(), 0.0f);
  in[at] = 0.5f;
  for (size_t offset = 0; offset + block <= in.size(); offset += block) {
    stage.run(in.data() + offset, out.data() + offset, block);
  }
  size_t peak = at;
  for (size_t i = at; i < out.size(); ++i) {
    if (std::fabs(out[i]) > std::fabs(out[peak])) peak = i;
  }
  stage.processing->Initialize();
  return static_cast<uint32_t>(peak - at);
}

// Feeds the library whole 10 ms blocks of the mono mix. The output is the processed
// stream delayed by exactly one block less one frame (plus the stages' own delays): that
// much processed audio is always ready when a call ends, whatever the call sizes, so
// every call can hand back as many frames as it received.
//
// Per block: the high-pass filter; echo cancellation (the far end first, one block of it
// per microphone block, silence when none has arrived); then noise suppression, fixed or
// crossfaded with the unsuppressed signal as NoiseAdaptation decides.
class WebRtcVoiceProcessor final : public VoiceProcessor {
 public:
  struct Stages {
    bool highPass = false;
    std::optional<Library> echo;
    std::optional<Library> noise;
    // Adaptive suppression: the controller and the suppression stage's delay.
    std::optional<NoiseAdaptation> adaptation;
    uint32_t noiseDelay = 0;
  };

  WebRtcVoiceProcessor(Stages stages, int rate, uint32_t maxFrames)
      : rate_(rate),
        blockFrames_(static_cast<uint32_t>(rate / kBlocksPerSecond)),
        chunkFrames_(std::max<uint32_t>(maxFrames, 1)),
        stages_(std::move(stages)),
        highPass_(rate, kHighPassHz),
        gathered_(blockFrames_),
        processed_(blockFrames_),
        unsuppressed_(blockFrames_),
        referenceBlock_(blockFrames_),
        ready_(chunkFrames_ + blockFrames_),
        reference_(stages_.echo ? chunkFrames_ + static_cast<size_t>(kReferenceBacklogSeconds * rate) : 1),
        delayLine_(stages_.noiseDelay + blockFrames_) {
    ready_.push(nullptr, blockFrames_ - 1);
    delayLine_.push(nullptr, stages_.noiseDelay);
  }

  void process(float* samples, uint32_t frames) override {
    nearReceived_ += frames;
    // Calls larger than promised are split rather than overflowing the ring.
    for (uint32_t offset = 0; offset < frames; offset += chunkFrames_) {
      processChunk(samples + offset, std::min(chunkFrames_, frames - offset));
    }
  }

  void processReference(const float* samples, uint32_t frames, double delayMs) override {
    if (!stages_.echo) return;
    // Only the newest frames matter when a delivery outgrows the backlog; the ones
    // skipped still count, so the positions stay true.
    if (frames > reference_.capacity()) {
      const size_t skipped = frames - reference_.capacity();
      farReceived_ += skipped;
      samples += skipped;
      frames = static_cast<uint32_t>(reference_.capacity());
    }
    if (frames > reference_.space()) reference_.pop(nullptr, frames - reference_.space());
    reference_.push(samples, frames);
    farReceived_ += frames;
    // Where the far end stands against the microphone: the microphone frame that carries
    // what the newest reference frame carries, less that reference frame's position.
    const double offset = static_cast<double>(nearReceived_) - static_cast<double>(farReceived_) +
                          (std::isfinite(delayMs) ? delayMs : 0) * rate_ / 1000;
    farOffset_ = haveOffset_ ? farOffset_ + kOffsetSmoothing * (offset - farOffset_) : offset;
    haveOffset_ = true;
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
    ready_.pop(samples, frames);
  }

  void runBlock() {
    float* block = gathered_.data();
    if (stages_.highPass) highPass_.run(block, blockFrames_);
    if (stages_.echo) cancelEcho(block);

    const float* out = block;
    if (stages_.noise) {
      float* suppressed = processed_.data();
      if (!stages_.adaptation) {
        stages_.noise->run(block, suppressed, blockFrames_);
      } else {
        float* plain = unsuppressed_.data();
        delayLine_.push(block, blockFrames_);
        delayLine_.pop(plain, blockFrames_);
        const float from = stages_.adaptation->mix();
        const float to = stages_.adaptation->update(block, blockFrames_);
        // Suppression runs all the time so that its noise estimate is current whenever
        // it is faded in; a linear crossfade from block to block keeps the output free
        // of steps.
        stages_.noise->run(block, suppressed, blockFrames_);
        if (from == 0 && to == 0) {
          std::memcpy(suppressed, plain, blockFrames_ * sizeof(float));
        } else {
          const float step = (to - from) / static_cast<float>(blockFrames_);
          for (uint32_t i = 0; i < blockFrames_; ++i) {
            const float mix = from + step * static_cast<float>(i + 1);
            suppressed[i] = plain[i] + mix * (suppressed[i] - plain[i]);
          }
        }
      }
      out = suppressed;
    }
    ready_.push(out, blockFrames_);
  }

  void cancelEcho(float* block) {
    Library& echo = *stages_.echo;
    if (reference_.size() >= blockFrames_) {
      // The library's delay: from feeding this far-end block to feeding the microphone
      // block that carries its echo.
      const double nextFar = static_cast<double>(farReceived_ - reference_.size());
      const double frames = farOffset_ + nextFar - static_cast<double>(nearFed_);
      delayMs_ = static_cast<int>(std::lround(std::clamp(frames * 1000 / rate_, 0.0, kMaximumEchoDelayMs)));
      reference_.pop(referenceBlock_.data(), blockFrames_);
    } else {
      // No far end (an idle or suspended sink, or a reference stream that is gone):
      // silence keeps the canceller in step and cancels nothing.
      std::fill(referenceBlock_.begin(), referenceBlock_.end(), 0.0f);
    }
    const float* far = referenceBlock_.data();
    float* farOut = referenceBlock_.data();
    echo.processing->ProcessReverseStream(&far, echo.stream, echo.stream, &farOut);
    echo.processing->set_stream_delay_ms(delayMs_);
    echo.run(block, block, blockFrames_);
    nearFed_ += blockFrames_;
  }

  const int rate_;
  const uint32_t blockFrames_;
  const uint32_t chunkFrames_;
  Stages stages_;
  HighPass highPass_;
  // The block being gathered from the input.
  std::vector<float> gathered_;
  uint32_t gatheredCount_ = 0;
  // The suppressed and the unsuppressed signal of the last block.
  std::vector<float> processed_;
  std::vector<float> unsuppressed_;
  std::vector<float> referenceBlock_;
  // Processed frames not yet handed out. Starts with one block less one frame of
  // silence; it never holds more than that plus one chunk.
  SampleQueue ready_;
  // The far end waiting for its microphone block.
  SampleQueue reference_;
  // The unsuppressed signal, delayed as much as the suppression stage delays its own.
  SampleQueue delayLine_;

  // Stream positions for the echo delay: frames of the microphone received and fed to the
  // library, frames of the far end received, and the smoothed offset between the two.
  uint64_t nearReceived_ = 0;
  uint64_t nearFed_ = 0;
  uint64_t farReceived_ = 0;
  double farOffset_ = 0;
  bool haveOffset_ = false;
  int delayMs_ = 0;
};

}  // namespace

Result<std::unique_ptr<VoiceProcessor>> makeWebRtcVoiceProcessor(double rate, uint32_t maxFrames,
                                                                 bool echoCancellation,
                                                                 const WebRtcVoiceSettings& settings) {
  using Suppression = WebRtcVoiceSettings::Suppression;
  if (!(rate >= kMinimumRate && rate <= kMaximumRate) || rate != std::floor(rate) ||
      static_cast<long>(rate) % kBlocksPerSecond != 0) {
    return Error{"the voice processor does not support " + rateText(rate) + " Hz input"};
  }
  const bool adaptive = settings.suppression == Suppression::adaptive;
  const bool libraryHighPass = settings.highPass == WebRtcVoiceSettings::HighPass::library;
  if (adaptive && (settings.gainControl || libraryHighPass || settings.adaptiveLevel == Suppression::off ||
                   settings.adaptiveLevel == Suppression::adaptive)) {
    return Error{"the voice processor cannot adapt its suppression with these settings"};
  }

  // The library traces only into a file or callback that nobody sets here; filtering
  // everything keeps it quiet even if that changes, since standard error must stay clean.
  webrtc::Trace::set_level_filter(webrtc::kTraceNone);

  const int hz = static_cast<int>(rate);
  WebRtcVoiceProcessor::Stages stages;
  stages.highPass = settings.highPass == WebRtcVoiceSettings::HighPass::own;

  if (echoCancellation) {
    auto echo = makeLibrary(hz, true);
    if (!echo) return echo.error();
    webrtc::EchoCancellation& canceller = *echo.value().processing->echo_cancellation();
    // Both streams come from one sound server's clock.
    if (Status failed = check(canceller.enable_drift_compensation(false), "configure echo cancellation")) {
      return *failed;
    }
    if (Status failed = check(canceller.Enable(true), "enable echo cancellation")) return *failed;
    stages.echo = echo.take();
  }

  if (settings.suppression != Suppression::off || settings.gainControl || libraryHighPass) {
    auto noise = makeLibrary(hz, false);
    if (!noise) return noise.error();
    AudioProcessing& library = *noise.value().processing;
    if (libraryHighPass) {
      if (Status failed = check(library.high_pass_filter()->Enable(true), "enable the high-pass filter")) {
        return *failed;
      }
    }
    if (settings.suppression != Suppression::off) {
      const Suppression level = adaptive ? settings.adaptiveLevel : settings.suppression;
      if (Status failed = check(library.noise_suppression()->set_level(libraryLevel(level)),
                                "set the noise suppression level")) {
        return *failed;
      }
      if (Status failed = check(library.noise_suppression()->Enable(true), "enable noise suppression")) {
        return *failed;
      }
    }
    if (settings.gainControl) {
      if (Status failed = check(library.gain_control()->set_mode(webrtc::GainControl::kAdaptiveDigital),
                                "set the gain control mode")) {
        return *failed;
      }
      if (Status failed = check(library.gain_control()->Enable(true), "enable gain control")) return *failed;
    }
    stages.noise = noise.take();
    if (adaptive) {
      stages.noiseDelay = measureDelay(*stages.noise, hz);
      stages.adaptation.emplace(settings.adaptation, kBlocksPerSecond);
    }
  }

  return std::unique_ptr<VoiceProcessor>(new WebRtcVoiceProcessor(std::move(stages), hz, maxFrames));
}

}  // namespace talvora::platform
