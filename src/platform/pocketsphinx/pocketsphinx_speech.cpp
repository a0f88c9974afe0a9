// Placeholder until the pocketsphinx backend lands: never authorized.
#include "platform/pocketsphinx/pocketsphinx_speech.h"

namespace talvora::platform {
namespace {
class Unavailable final : public SpeechService {
 public:
  void requestAuthorization(std::function<void(SpeechAuthorizationStatus)> handler) override {
    handler(SpeechAuthorizationStatus::denied);
  }
  std::unique_ptr<SpeechRecognizer> makeRecognizer() override { return nullptr; }
  std::shared_ptr<SpeechRecognitionRequest> makeRequest(bool, bool) override { return nullptr; }
};
}  // namespace

std::shared_ptr<SpeechService> makePocketsphinxSpeechService() { return std::make_shared<Unavailable>(); }

}  // namespace talvora::platform
