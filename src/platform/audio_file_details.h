#pragma once

#include <optional>
#include <string>

namespace talvora::platform {

// What a finished audio file holds, read back from the file itself.
struct AudioFileDetails {
  std::string container;  // "WAV (Microsoft)", "CAF (Apple Core Audio File)", …
  std::string encoding;   // "32 bit float"
  int sampleRate = 0;
  int channels = 0;
  long long frames = 0;
  long long bytes = 0;
};

// None, and the reason in `failure`, when the file cannot be opened as audio. Implemented
// by the file backend (platform/sndfile).
std::optional<AudioFileDetails> readAudioFileDetails(const std::string& path, std::string* failure);

}  // namespace talvora::platform
