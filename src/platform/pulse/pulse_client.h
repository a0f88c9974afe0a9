#pragma once

#include <pulse/pulseaudio.h>

#include <chrono>

namespace talvora::platform::pulse {

// How long we wait for the sound server to answer a connection or a request before
// treating it as absent. A local server answers in milliseconds; a hung one must not
// hang the recorder.
inline constexpr pa_usec_t kServerTimeout = 5 * PA_USEC_PER_SEC;

// The name the server shows for our connections.
inline constexpr const char* kClientName = "talvora-audio";

// libpulse writes its own error lines (a missing cookie file, for one) to standard
// error, which belongs to the event protocol's parent. Its only switch that takes effect
// without private symbols is the environment: the messages go to the system log
// instead. Must run before the first libpulse call and before other threads exist;
// every factory of this backend calls it, and it acts once.
void quietLibraryLog();

// Whether a connection error means the server refused us (as opposed to not being
// there or failing otherwise).
inline bool isRefusal(int error) { return error == PA_ERR_ACCESS || error == PA_ERR_AUTHKEY; }

// Opens a context on `api` with our client name. Null when libpulse cannot.
pa_context* newContext(pa_mainloop_api* api);

}  // namespace talvora::platform::pulse
