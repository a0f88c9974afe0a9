#pragma once

#include <functional>
#include <memory>

#include "platform/audio.h"
#include "platform/speech.h"
#include "platform/voice_processing.h"

namespace talvora::platform {

// Everything the recorder needs from the system, as factories. `main` wires the Linux
// implementations in; tests wire fakes, so every behaviour of the capture object can be
// driven without a sound card or a speech model.
struct Platform {
  std::function<std::unique_ptr<AudioEngine>()> makeEngine;
  VoiceProcessorFactory makeVoiceProcessor;
  std::shared_ptr<AudioFileFactory> files;
  std::shared_ptr<SpeechService> speech;
  std::shared_ptr<MicrophoneAccess> microphone;
};

// The real thing: PulseAudio input with WebRTC voice processing, libsndfile output,
// pocketsphinx recognition.
Platform makeLinuxPlatform();

}  // namespace talvora::platform
