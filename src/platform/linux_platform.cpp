#include "platform/platform.h"
#include "platform/pocketsphinx/pocketsphinx_speech.h"
#include "platform/pulse/pulse_engine.h"
#include "platform/sndfile/sndfile_audio_file.h"
#include "platform/webrtc/webrtc_voice_processor.h"

namespace talvora::platform {

Platform makeLinuxPlatform() {
  Platform platform;
  platform.makeEngine = &makePulseEngine;
  platform.makeVoiceProcessor = [](double rate, uint32_t maxFrames, bool echoCancellation) {
    return makeWebRtcVoiceProcessor(rate, maxFrames, echoCancellation);
  };
  platform.files = makeSndfileAudioFileFactory();
  platform.speech = makePocketsphinxSpeechService();
  platform.microphone = makePulseMicrophoneAccess();
  return platform;
}

}  // namespace talvora::platform
