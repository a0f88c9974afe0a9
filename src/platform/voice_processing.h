#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "platform/error.h"

namespace talvora::platform {

// Voice processing on the mono mix of the microphone (high-pass filter, noise suppression,
// echo cancellation). Abstract so that the capture object does not depend on the
// processing library, and so tests can refuse it on demand or put a recognisable stand-in
// in its place.
//
// Threads: made on the main thread; `process` and `processReference` run on the audio
// thread only, and neither allocates nor blocks.
class VoiceProcessor {
 public:
  virtual ~VoiceProcessor() = default;
  // Processes `frames` mono samples in place, at the rate the processor was made for.
  // Exactly as many frames come out as go in: the processing runs in fixed blocks, so the
  // output may lag the input by up to one block, but no frame is dropped or repeated.
  // `frames` is at most the `maxFrames` the processor was made for.
  virtual void process(float* samples, uint32_t frames) = 0;

  // The far end for echo cancellation: `frames` mono samples of what the speakers play,
  // at the processor's rate, delivered on the audio thread as they arrive (interleaved in
  // any way with the microphone's). `delayMs` is the best estimate at this delivery of how
  // much later the microphone's frames carry a sound than these reference frames do, from
  // the two streams' latencies (the microphone's latency less the reference's, without the
  // acoustic path); the processor accounts for its own buffering. While no reference
  // arrives the processor cancels against silence, which leaves the microphone as it is.
  // A processor made without echo cancellation ignores the reference.
  virtual void processReference(const float* samples, uint32_t frames, double delayMs) {
    (void)samples;
    (void)frames;
    (void)delayMs;
  }
};

// Makes a processor for mono audio at `sampleRate`, or says why it cannot (a rate the
// library refuses, an initialisation failure). `echoCancellation`: the input has a far-end
// reference, which the processor is to cancel from the microphone.
using VoiceProcessorFactory = std::function<Result<std::unique_ptr<VoiceProcessor>>(
    double sampleRate, uint32_t maxFrames, bool echoCancellation)>;

}  // namespace talvora::platform
