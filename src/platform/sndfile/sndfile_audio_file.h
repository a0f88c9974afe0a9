#pragma once

#include <memory>

#include "platform/audio.h"

namespace talvora::platform {

// Writes the containers the protocol names (protocol/operands.h) by the path's extension:
// float samples in the uncompressed ones, encoded ones with settings chosen for speech.
std::shared_ptr<AudioFileFactory> makeSndfileAudioFileFactory();

}  // namespace talvora::platform
