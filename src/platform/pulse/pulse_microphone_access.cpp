// Microphone access on a PulseAudio server: the server decides who may connect (socket
// credentials, the authentication cookie, the access policy of its protocol module), so
// "access granted" means the server admits this client.
#include <system_error>
#include <thread>

#include "platform/pulse/pulse_client.h"
#include "platform/pulse/pulse_engine.h"

namespace talvora::platform {
namespace {

using pulse::kServerTimeout;

struct Probe {
  bool expired = false;
};

void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
  static_cast<Probe*>(user)->expired = true;
}

// Connects once on a main loop of its own and reports whether the server let us in.
// Anything but an explicit refusal counts as granted: with no server at all the start
// sequence finds no usable input and says so, which is the more helpful message.
bool serverAdmitsUs() {
  pa_mainloop* loop = pa_mainloop_new();
  if (!loop) return true;
  pa_mainloop_api* api = pa_mainloop_get_api(loop);
  pa_context* context = pulse::newContext(api);
  if (!context) {
    pa_mainloop_free(loop);
    return true;
  }

  bool granted = true;
  Probe probe;
  pa_time_event* deadline = nullptr;
  if (pa_context_connect(context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
    granted = !pulse::isRefusal(pa_context_errno(context));
  } else {
    deadline = pa_context_rttime_new(context, pa_rtclock_now() + kServerTimeout, onDeadline, &probe);
    while (true) {
      const pa_context_state_t state = pa_context_get_state(context);
      if (state == PA_CONTEXT_READY) break;
      if (!PA_CONTEXT_IS_GOOD(state)) {
        granted = !pulse::isRefusal(pa_context_errno(context));
        break;
      }
      if (probe.expired) break;
      if (pa_mainloop_iterate(loop, 1, nullptr) < 0) break;
    }
  }
  if (deadline) api->time_free(deadline);
  pa_context_disconnect(context);
  pa_context_unref(context);
  pa_mainloop_free(loop);
  return granted;
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
  pulse::quietLibraryLog();
  return std::make_shared<PulseMicrophoneAccess>();
}

}  // namespace talvora::platform
