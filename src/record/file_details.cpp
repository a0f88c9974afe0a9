#include "record/file_details.h"

#include <cstdio>

namespace talvora::record {

std::string describe(const std::string& path, const platform::AudioFileDetails& details) {
  double seconds = details.sampleRate > 0 ? static_cast<double>(details.frames) / details.sampleRate : 0;
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "Rate:      %d Hz\n"
                "Channels:  %d%s\n"
                "Frames:    %lld\n"
                "Duration:  %.3f s\n"
                "Size:      %lld bytes\n",
                details.sampleRate, details.channels, details.channels == 1 ? " (mono)" : "", details.frames, seconds,
                details.bytes);
  return "File:      " + path + "\nContainer: " + details.container + "\nEncoding:  " + details.encoding + "\n" +
         numbers;
}

}  // namespace talvora::record
