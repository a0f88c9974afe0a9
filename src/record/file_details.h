#pragma once

#include <optional>
#include <string>

namespace talvora::record {

// What a recorded file holds, as libsndfile reads it back.
struct FileDetails {
  std::string container;  // "WAV (Microsoft)", "CAF (Apple Core Audio File)", …
  std::string encoding;   // "32 bit float"
  int sampleRate = 0;
  int channels = 0;
  long long frames = 0;
  long long bytes = 0;
};

// None, and the reason in `failure`, when the file cannot be opened as audio.
std::optional<FileDetails> readFileDetails(const std::string& path, std::string* failure);

// The lines printed after a recording: file, container, encoding, rate, channels, frames,
// duration, size.
std::string describe(const std::string& path, const FileDetails& details);

}  // namespace talvora::record
