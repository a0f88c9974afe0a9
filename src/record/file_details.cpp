#include "record/file_details.h"

#include <algorithm>
#include <cstdio>

namespace talvora::record {

namespace {

double secondsHeld(const platform::AudioFileDetails& details) {
  return details.sampleRate > 0 ? static_cast<double>(details.frames) / details.sampleRate : 0;
}

std::string format(const char* pattern, double first, double second = 0) {
  char text[128];
  std::snprintf(text, sizeof text, pattern, first, second);
  return text;
}

}  // namespace

std::string describe(const std::string& path, const platform::AudioFileDetails& details) {
  char numbers[256];
  std::snprintf(numbers, sizeof numbers,
                "Rate:      %d Hz\n"
                "Channels:  %d%s\n"
                "Frames:    %lld\n"
                "Duration:  %.3f s\n"
                "Size:      %lld bytes\n",
                details.sampleRate, details.channels, details.channels == 1 ? " (mono)" : "", details.frames,
                secondsHeld(details), details.bytes);
  return "File:      " + path + "\nContainer: " + details.container + "\nEncoding:  " + details.encoding + "\n" +
         numbers;
}

std::string recordedText(const Recorded& recorded, const platform::AudioFileDetails& details) {
  const double held = secondsHeld(details);
  std::string text = format("Recorded %.1f s.\n", held);
  const double missing = recorded.seconds - held;
  if (missing < kNoticeableShortfall) return text;
  if (details.frames == 0) {
    return text + format("The file holds no audio: the microphone delivered nothing in the %.1f s recorded", recorded.seconds) +
           (recorded.inputStopped ? " before it stopped (see the warning above).\n" : ".\n");
  }
  std::string why;
  const bool lateStart = recorded.silentStart && *recorded.silentStart >= kNoticeableShortfall;
  // A start seen late by up to a meter tick can look longer than what is missing.
  if (lateStart) {
    why = format("the microphone delivered nothing for the first %.1f s",
                 recorded.inputStopped ? *recorded.silentStart : std::min(*recorded.silentStart, missing));
  }
  if (recorded.inputStopped) why += std::string(lateStart ? ", then " : "the microphone ") + "stopped delivering (see the warning above)";
  if (why.empty()) why = "the microphone delivered less audio than the time that passed";
  return text + format("The file holds %.1f s less than the %.1f s recorded: ", missing, recorded.seconds) + why + ".\n";
}

}  // namespace talvora::record
