#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/error.h"

namespace talvora::platform {

// Voice processing on the mono mix of the microphone (high-pass filter, noise suppression,
// gain control). Abstract so that the capture object does not depend on the processing
// library, and so tests can refuse it on demand or put a recognisable stand-in in its
// place.
//
// Threads: made on the main thread; `process` runs on the audio thread only, and neither
// allocates nor blocks.
class VoiceProcessor {
 public:
  virtual ~VoiceProcessor() = default;
  // Processes `frames` mono samples in place, at the rate the processor was made for.
  // Exactly as many frames come out as go in: the processing runs in fixed blocks, so the
  // output may lag the input by up to one block, but no frame is dropped or repeated.
  // `frames` is at most the `maxFrames` the processor was made for.
  virtual void process(float* samples, uint32_t frames) = 0;
};

// Makes a processor for mono audio at `sampleRate`, or says why it cannot (a rate the
// library refuses, an initialisation failure).
using VoiceProcessorFactory =
    std::function<Result<std::unique_ptr<VoiceProcessor>>(double sampleRate, uint32_t maxFrames)>;

}  // namespace talvora::platform
