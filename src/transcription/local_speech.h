#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/speech.h"

namespace talvora::transcription {

// On-device transcription of one recording: the authorization request, the recognizer's
// request and task, and the latest transcript. Best-effort throughout: whatever goes
// wrong here, the recording goes on; the parent hears of it as a warning.
//
// Threads. `begin` runs on the main thread, inside the start sequence. The speech
// service calls its handlers on threads of its own; they touch nothing and only hand
// their arguments to the capture queue through `onQueue`. Every other method runs on the
// capture queue, where all of the state lives, in order with the buffers the capture
// object appends and with its stop and finish steps.
class LocalSpeech {
 public:
  // Runs `work` on the capture queue while the recording exists; drops it once it is gone.
  using QueuePoster = std::function<void(std::function<void()> work)>;
  using Warn = std::function<void(const std::string& message)>;

  // `warn` runs on the capture queue.
  LocalSpeech(std::shared_ptr<platform::SpeechService> service, Warn warn);
  LocalSpeech(const LocalSpeech&) = delete;
  LocalSpeech& operator=(const LocalSpeech&) = delete;

  // Main thread: asks for authorization and returns at once; transcription starts when
  // the answer has been handled on the queue. The service's handlers reach the queue
  // through `onQueue` only, so they may safely outlive this object.
  void begin(QueuePoster onQueue);

  // Queue. Feeds a buffer the capture object has written; nothing unless transcription
  // runs (buffers written before it started are not given to it).
  void append(const float* samples, uint32_t frames, double sampleRate);
  // Queue, from the stop sequence: no more audio follows. A late authorization answer is
  // then ignored, and a recognition error no longer warns; a final result may still come.
  void stop();
  // Queue, from the finish step: the task ends.
  void cancel();

  // Queue: the latest text, replaced by every partial and final result.
  const std::string& transcript() const { return transcript_; }

 private:
  void handleStatus(platform::SpeechAuthorizationStatus status);
  void handleResult(std::optional<platform::SpeechResult> result, std::optional<platform::Error> error);
  void tearDown();

  const std::shared_ptr<platform::SpeechService> service_;
  const Warn warn_;
  QueuePoster onQueue_;

  std::shared_ptr<platform::SpeechRecognitionRequest> speech_;
  std::unique_ptr<platform::SpeechRecognitionTask> recognition_;
  std::string transcript_;
  bool stopped_ = false;
};

}  // namespace talvora::transcription
