#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/error.h"

namespace talvora::platform {

// Authorization answers, numbered as the speech service numbers them: only 3 means yes.
enum class SpeechAuthorizationStatus : int {
  notDetermined = 0,
  denied = 1,
  restricted = 2,
  authorized = 3,
};

struct SpeechResult {
  std::string formattedString;  // the best transcription, formatted for people
  bool isFinal = false;
};

// The audio fed to a recognition task.
//
// Threads: append and endAudio are called on the capture queue; they only queue work and
// return quickly.
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
  // Ends the task promptly; no handler call starts afterwards. Does nothing after the
  // final result or an error, and when repeated.
  virtual void cancel() = 0;
};

class SpeechRecognizer {
 public:
  using ResultHandler =
      std::function<void(std::optional<SpeechResult> result, std::optional<Error> error)>;

  virtual ~SpeechRecognizer() = default;
  virtual bool supportsOnDeviceRecognition() const = 0;
  // The handler is called on a thread of the service's choosing, any number of times,
  // with a result, an error, or both.
  virtual std::unique_ptr<SpeechRecognitionTask> recognitionTask(
      std::shared_ptr<SpeechRecognitionRequest> request, ResultHandler handler) = 0;
};

class SpeechService {
 public:
  virtual ~SpeechService() = default;
  // Answers exactly once, on a thread of the service's choosing.
  virtual void requestAuthorization(std::function<void(SpeechAuthorizationStatus)> handler) = 0;
  // A recognizer for the user's default language settings, or null when there is none.
  // Called on the capture queue: must not do slow work (load models ahead of time).
  virtual std::unique_ptr<SpeechRecognizer> makeRecognizer() = 0;
  virtual std::shared_ptr<SpeechRecognitionRequest> makeRequest(bool requiresOnDeviceRecognition,
                                                                bool shouldReportPartialResults) = 0;
};

}  // namespace talvora::platform
