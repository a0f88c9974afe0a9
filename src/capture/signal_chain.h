#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/voice_processing.h"

namespace talvora::capture {

// The way from the microphone's frames to what the file and the recognizer get: one
// mix-down to mono, then the voice processor when there is one, then the level of what
// came out. Kept in one place, outside the audio backends, so that every backend (and the
// fake one in the tests) gets the same chain and a backend's only job is to deliver
// frames. The far end for echo cancellation takes the same way in: mixed down, then to
// the processor.
//
// Threads: `setProcessor` on the main thread before the audio thread runs; `run` and
// `runReference` on the audio thread only. Nothing here allocates, locks or waits.
class SignalChain {
 public:
  // Sound servers carry at most this many channels; a reference with more is ignored.
  static constexpr uint32_t kMaxReferenceChannels = 32;

  // Null: the plain mix-down.
  void setProcessor(std::unique_ptr<platform::VoiceProcessor> processor, uint32_t maxFrames);
  bool processing() const { return processor_ != nullptr; }

  // Mixes `frames` frames of `channels` planar channels into `out` (mono, `frames`
  // samples), processes them, and returns their root mean square.
  float run(const float* const* in, uint32_t channels, uint32_t frames, float* out);

  // Mixes `frames` frames of the far end's `channels` planar channels to mono and hands
  // them to the processor with the delay hint. Nothing to do without a processor.
  void runReference(const float* const* in, uint32_t channels, uint32_t frames, double delayMs);

 private:
  std::unique_ptr<platform::VoiceProcessor> processor_;
  uint32_t maxFrames_ = 0;
  std::vector<float> referenceMix_;
};

}  // namespace talvora::capture
