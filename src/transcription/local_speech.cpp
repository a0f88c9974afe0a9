#include "transcription/local_speech.h"

#include "events/event.h"

namespace talvora::transcription {

using platform::SpeechAuthorizationStatus;

LocalSpeech::LocalSpeech(std::shared_ptr<platform::SpeechService> service, Warn warn)
    : service_(std::move(service)), warn_(std::move(warn)) {}

void LocalSpeech::begin(QueuePoster onQueue) {
  // Set before the service can answer; read on the queue only after that answer.
  onQueue_ = onQueue;
  service_->requestAuthorization([this, onQueue](SpeechAuthorizationStatus status) {
    onQueue([this, status] { handleStatus(status); });
  });
}

void LocalSpeech::handleStatus(SpeechAuthorizationStatus status) {
  if (stopped_) return;
  if (status == SpeechAuthorizationStatus::authorized) {
    // The recognizer only serves to create the task; it is not kept.
    std::unique_ptr<platform::SpeechRecognizer> recognizer = service_->makeRecognizer();
    if (recognizer && recognizer->supportsOnDeviceRecognition()) {
      speech_ = service_->makeRequest(/*shouldReportPartialResults=*/true);
      QueuePoster onQueue = onQueue_;
      recognition_ = recognizer->recognitionTask(
          speech_, [this, onQueue](std::optional<platform::SpeechResult> result, std::optional<platform::Error> error) {
            onQueue([this, result = std::move(result), error = std::move(error)]() mutable {
              handleResult(std::move(result), std::move(error));
            });
          });
      return;
    }
  }
  warn_(events::kTranscriptionUnavailable);
}

void LocalSpeech::handleResult(std::optional<platform::SpeechResult> result, std::optional<platform::Error> error) {
  if (result) transcript_ = result->formattedString;
  if (error) {
    tearDown();
    if (!stopped_) warn_(events::transcriptionFailed(error->description));
    return;
  }
  if (result && result->isFinal) tearDown();
}

void LocalSpeech::append(const float* samples, uint32_t frames, double sampleRate) {
  if (speech_) speech_->append(samples, frames, sampleRate);
}

void LocalSpeech::stop() {
  stopped_ = true;
  // The request stays, so a tear-down by a result in the next second tells it once more.
  if (speech_) speech_->endAudio();
}

void LocalSpeech::cancel() {
  if (recognition_) recognition_->cancel();
}

void LocalSpeech::tearDown() {
  if (speech_) speech_->endAudio();
  speech_.reset();
  if (recognition_) recognition_->cancel();
  recognition_.reset();
}

}  // namespace talvora::transcription
