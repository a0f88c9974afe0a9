// Placeholder until the PulseAudio backend lands: no input, access granted.
#include "platform/pulse/pulse_engine.h"

namespace talvora::platform {
namespace {
class NoInput final : public AudioInputNode {
 public:
  Status setVoiceProcessingEnabled(bool) override { return Error{"no input device"}; }
  AudioFormat outputFormat(int) override { return {}; }
  void installTap(int, uint32_t, AudioFormat, TapHandler) override {}
  void removeTap(int) override {}
  void setInterruptionHandler(InterruptionHandler) override {}
};
class NoEngine final : public AudioEngine {
 public:
  AudioInputNode& inputNode() override { return node_; }
  Status start() override { return Error{"no input device"}; }
  void stop() override {}
 private:
  NoInput node_;
};
class Granted final : public MicrophoneAccess {
 public:
  void requestAccess(std::function<void(bool)> handler) override { handler(true); }
};
}  // namespace

std::unique_ptr<AudioEngine> makePulseEngine(VoiceProcessorFactory) { return std::make_unique<NoEngine>(); }
std::shared_ptr<MicrophoneAccess> makePulseMicrophoneAccess() { return std::make_shared<Granted>(); }

}  // namespace talvora::platform
