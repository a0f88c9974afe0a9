#pragma once

#include <chrono>
#include <memory>

#include "platform/audio.h"

namespace talvora::platform {

// How long the engine keeps trying to reach a sound server that went away (one that
// restarts, after an update or a crash) before it reports the input stopped.
inline constexpr std::chrono::milliseconds kPulseReconnectWindow{10000};

// The audio engine on PulseAudio's client library (which PipeWire desktops serve too):
// the input node is the source the sound system chooses for the client (PULSE_SOURCE,
// else the user's default), followed when the default changes.
std::unique_ptr<AudioEngine> makePulseEngine();
// The same with another reconnection window.
std::unique_ptr<AudioEngine> makePulseEngineReconnectingFor(std::chrono::milliseconds window);

// Microphone access: whether the user's sound server admits this client.
std::shared_ptr<MicrophoneAccess> makePulseMicrophoneAccess();

}  // namespace talvora::platform
