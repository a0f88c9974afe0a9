// Microphone access on a PulseAudio server: the server decides who may connect (socket
// credentials, the authentication cookie, the access policy of its protocol module), so
// "access granted" means the server admits this client.
#include <system_error>
#include <thread>

#include "platform/pulse/connection.h"
#include "platform/pulse/pulse_engine.h"

namespace talvora::platform {
namespace {

// Connects once and reports whether the server let us in. Anything but an explicit
// refusal counts as granted: with no server at all the start sequence finds no usable
// input and says so, which is the more helpful message.
bool serverAdmitsUs() {
  pulse::Connection connection;
  int error = 0;
  return !connection.connect(&error) || !pulse::isRefusal(error);
}

class PulseMicrophoneAccess final : public MicrophoneAccess {
 public:
  void requestAccess(std::function<void(bool)> handler) override {
    // The answer needs a round trip to the server; the caller's thread must not wait
    // for it. The thread owns everything it touches, so it may outlive this object.
    auto ask = [handler = std::move(handler)] { handler(serverAdmitsUs()); };
    try {
      std::thread(ask).detach();
    } catch (const std::system_error&) {
      ask();  // No thread to be had: answer late rather than never.
    }
  }
};

}  // namespace

std::shared_ptr<MicrophoneAccess> makePulseMicrophoneAccess() {
  pulse::prepareBackend();
  return std::make_shared<PulseMicrophoneAccess>();
}

}  // namespace talvora::platform
