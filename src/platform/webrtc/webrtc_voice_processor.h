#pragma once

#include <memory>

#include "platform/voice_processing.h"

namespace talvora::platform {

// Voice processing on WebRTC's audio processing library: high-pass filter, noise
// suppression and automatic gain control in 10 ms blocks of mono audio. The rate must be a
// whole number of frames per 10 ms block between 8 and 192 kHz. The output lags the input
// by one block less one frame.
Result<std::unique_ptr<VoiceProcessor>> makeWebRtcVoiceProcessor(double sampleRate, uint32_t maxFrames);

}  // namespace talvora::platform
