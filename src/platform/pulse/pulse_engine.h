#pragma once

#include <memory>

#include "platform/audio.h"

namespace talvora::platform {

// The audio engine on PulseAudio's client library (which PipeWire desktops serve too):
// the input node is the server's default source.
std::unique_ptr<AudioEngine> makePulseEngine();

// Microphone access: whether the user's sound server admits this client.
std::shared_ptr<MicrophoneAccess> makePulseMicrophoneAccess();

}  // namespace talvora::platform
