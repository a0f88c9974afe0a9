#pragma once

#include <memory>
#include <optional>
#include <string>


#include "platform/audio.h"

namespace talvora::platform {

// The libsndfile format (container | 32-bit float) for a path's extension, compared
// case-insensitively; none for an extension we do not write.
std::optional<int> sndfileFormatForPath(const std::string& path);

// The one-line list of the extensions we write, for error messages.
const char* supportedExtensionsText();

std::shared_ptr<AudioFileFactory> makeSndfileAudioFileFactory();

}  // namespace talvora::platform
