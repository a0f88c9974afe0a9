#pragma once

#include <string>

#include "platform/audio_file_details.h"

namespace talvora::record {

// The lines printed after a recording: file, container, encoding, rate, channels, frames,
// duration, size.
std::string describe(const std::string& path, const platform::AudioFileDetails& details);

}  // namespace talvora::record
