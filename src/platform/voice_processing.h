#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/audio.h"

namespace talvora::platform {

// Voice processing between the microphone and the tap (high-pass filter, noise
// suppression, automatic gain control). Abstract so that the audio backend does not
// depend on the processing library, and so tests can refuse it on demand.
//
// Threads: created on the main thread; `process` runs on the audio thread only, and
// neither allocates nor blocks.
class VoiceProcessor {
 public:
  virtual ~VoiceProcessor() = default;
  // What `process` delivers: the input's rate, and its own channel count.
  virtual AudioFormat outputFormat() const = 0;
  // Reads `frames` frames from the input channel arrays and writes exactly `frames`
  // frames to the output channel arrays (the processing runs in fixed blocks, so the
  // output may lag the input by up to one block; no frame is dropped or repeated).
  // `frames` is at most the `maxFrames` the processor was made for.
  virtual void process(const float* const* in, uint32_t frames, float* const* out) = 0;
};

// Makes a processor for an input format, or says why it cannot (a rate or layout the
// library refuses, an initialisation failure).
using VoiceProcessorFactory =
    std::function<Result<std::unique_ptr<VoiceProcessor>>(AudioFormat input, uint32_t maxFrames)>;

}  // namespace talvora::platform
