// Placeholder until the WebRTC backend lands.
#include "platform/webrtc/webrtc_voice_processor.h"

namespace talvora::platform {

Result<std::unique_ptr<VoiceProcessor>> makeWebRtcVoiceProcessor(AudioFormat, uint32_t) {
  return Error{"not built yet"};
}

}  // namespace talvora::platform
