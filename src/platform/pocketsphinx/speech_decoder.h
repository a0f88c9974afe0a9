#pragma once

// What the recognition worker needs of a speech engine: models loaded ahead of time, and
// a decoder for each recording. The worker knows nothing else of the engine.

#include <cstddef>
#include <memory>
#include <string>

#include "platform/error.h"

namespace talvora::platform {

// One recording's pass through a decoder, used by one worker thread from its first
// sample to its end. Destroying it leaves the engine ready for the next recording.
class SpeechDecoder {
 public:
  virtual ~SpeechDecoder() = default;
  // Mono float samples at the worker's decoder rate, a block at a time.
  virtual Status decode(const float* samples, size_t count) = 0;
  // The end of the audio: the last words are decided.
  virtual Status finish() = 0;
  // Everything recognized so far, as people read it.
  virtual std::string text() const = 0;
};

// The models of one speech service, shared by its threads.
class SpeechEngine {
 public:
  virtual ~SpeechEngine() = default;
  // Slow: loads the models unless that has been done or tried already; true when they
  // are ready. Called on a thread of the service's own.
  virtual bool load() = 0;
  // Whether `load` has succeeded. Quick: called on the capture queue.
  virtual bool ready() = 0;
  // A decoder for one recording. May be slow (a second one when recordings overlap):
  // called on the recording's worker thread.
  virtual Result<std::unique_ptr<SpeechDecoder>> open() = 0;
};

}  // namespace talvora::platform
