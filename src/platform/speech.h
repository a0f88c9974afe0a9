#pragma once

// On-device speech recognition, as the capture object uses it.
//
// Threads. The main thread asks for authorization. Everything else of a recording (the
// recognizer, the request and the task; appending, ending the audio, cancelling and
// dropping them) happens on the capture queue, so it must return quickly: a service does
// its slow work (loading models, decoding) on threads of its own and calls the handlers
// there.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace talvora::platform {

enum class SpeechAuthorizationStatus { denied, authorized };

struct SpeechResult {
  std::string formattedString;  // the best transcription, formatted for people
  bool isFinal = false;
};

// The audio fed to a recognition task. Capture queue.
class SpeechRecognitionRequest {
 public:
  virtual ~SpeechRecognitionRequest() = default;
  // Queues a copy of `frames` mono float samples at `sampleRate` for recognition.
  virtual void append(const float* samples, uint32_t frames, double sampleRate) = 0;
  // No more audio follows; a final result or an error may still come. A second call does
  // nothing.
  virtual void endAudio() = 0;
};

class SpeechRecognitionTask {
 public:
  virtual ~SpeechRecognitionTask() = default;
  // Capture queue, or the task's own handler. Ends the task promptly; no handler call
  // starts once it returns. Does nothing after the final result or an error, and when
  // repeated.
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  // Called on a thread of the service's, any number of times, with a result, an error,
  // or both; a final result or an error is the last call.
  using ResultHandler =
      std::function<void(std::optional<SpeechResult> result, std::optional<Error> error)>;

  virtual ~SpeechRecognizer() = default;
  // Capture queue.
  virtual bool supportsOnDeviceRecognition() const = 0;
  virtual std::unique_ptr<SpeechRecognitionTask> recognitionTask(
      std::shared_ptr<SpeechRecognitionRequest> request, ResultHandler handler) = 0;
};

class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // Main thread. Answers exactly once, on a thread of the service's choosing.
  virtual void requestAuthorization(std::function<void(SpeechAuthorizationStatus)> handler) = 0;
  // Capture queue, after authorization: a recognizer for the user's default language
  // settings, or null when there is none. Must not do slow work (load models ahead of
  // time).
  virtual std::unique_ptr<SpeechRecognizer> makeRecognizer() = 0;
  // Capture queue.
  virtual std::shared_ptr<SpeechRecognitionRequest> makeRequest(bool shouldReportPartialResults) = 0;
};

}  // namespace talvora::platform
