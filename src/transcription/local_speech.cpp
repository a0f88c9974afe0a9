// The transcription side of VoiceCapture: authorization, recognizer set-up, and the
// handling of partial and final results. Best-effort throughout: nothing here can stop
// the recording.

#include "capture/voice_capture.h"

namespace talvora::capture {

using platform::SpeechAuthorizationStatus;

void VoiceCapture::localSpeech() {
  std::weak_ptr<VoiceCapture> weak = weak_from_this();
  platform.speech->requestAuthorization([weak](SpeechAuthorizationStatus status) {
    auto self = weak.lock();
    if (!self) return;
    self->queue.async([self, status] { self->handleSpeechStatus(status); });
  });
}

void VoiceCapture::handleSpeechStatus(SpeechAuthorizationStatus status) {
  if (stopped) return;
  if (status == SpeechAuthorizationStatus::authorized) {
    // The recognizer only serves to create the task; it is not kept.
    std::unique_ptr<platform::SpeechRecognizer> recognizer = platform.speech->makeRecognizer();
    if (recognizer && recognizer->supportsOnDeviceRecognition()) {
      speech = platform.speech->makeRequest(/*shouldReportPartialResults=*/true);
      std::weak_ptr<VoiceCapture> weak = weak_from_this();
      recognition = recognizer->recognitionTask(
          speech, [weak](std::optional<platform::SpeechResult> result, std::optional<platform::Error> error) {
            auto self = weak.lock();
            if (!self) return;
            self->queue.async([self, result = std::move(result), error = std::move(error)]() mutable {
              self->handleSpeechResult(std::move(result), std::move(error));
            });
          });
      return;
    }
  }
  environment.emit(events::warningEvent(events::kTranscriptionUnavailable));
}

void VoiceCapture::handleSpeechResult(std::optional<platform::SpeechResult> result,
                                      std::optional<platform::Error> error) {
  if (result) transcript = result->formattedString;
  if (error) {
    tearDownSpeech();
    if (!stopped) environment.emit(events::warningEvent(events::transcriptionFailed(error->description)));
    return;
  }
  if (result && result->isFinal) tearDownSpeech();
}

void VoiceCapture::tearDownSpeech() {
  if (speech) speech->endAudio();
  speech.reset();
  if (recognition) recognition->cancel();
  recognition.reset();
}

}  // namespace talvora::capture
