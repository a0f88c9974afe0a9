#pragma once

// Streaming recognition for any SpeechEngine: the request queues the appended audio, and
// each task's worker thread resamples it to the decoder's rate, feeds the decoder in
// blocks, and reports partial results, the final result, or an error.

#include <cstddef>
#include <functional>
#include <memory>

#include "platform/pocketsphinx/speech_decoder.h"
#include "platform/speech.h"

namespace talvora::platform {

struct RecognitionSettings {
  // The rate the decoder takes, and how many samples it is given at a time.
  double decoderRate = 16000;
  size_t blockSamples = 2048;
  // How much audio, in seconds, may wait for the decoder before the task gives up with an
  // error rather than queue without bound.
  double maximumLagSeconds = 5;
  // Called on a task's worker thread before every block it decodes.
  std::function<void()> beforeDecode;
};

// A speech service on `engine`. There is no speech permission on Linux: authorization is
// always granted, once the engine has loaded (or failed to) on a thread of the service's
// own, so that makeRecognizer never waits. Without an engine (a language that has no
// models) there is no recognizer.
//
// Threads. Each task decodes on a worker thread of its own, which calls the handler.
// Cancelling or dropping a task only raises a flag: the capture queue never waits for a
// worker. The service joins every thread it starts; destroying it ends its tasks as cancel
// does and waits for its threads (a worker stops within a block, a load under way
// finishes), so it is destroyed off the capture queue. A handler may drop the last
// reference to the service.
std::shared_ptr<SpeechService> makeWorkerSpeechService(std::shared_ptr<SpeechEngine> engine,
                                                       RecognitionSettings settings);

}  // namespace talvora::platform
