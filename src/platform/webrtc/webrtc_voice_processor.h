#pragma once

#include <memory>

#include "platform/voice_processing.h"

namespace talvora::platform {

// Voice processing on WebRTC's audio processing library: high-pass filter, noise
// suppression and automatic gain control in 10 ms blocks.
Result<std::unique_ptr<VoiceProcessor>> makeWebRtcVoiceProcessor(AudioFormat input, uint32_t maxFrames);

}  // namespace talvora::platform
