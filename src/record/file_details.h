#pragma once

#include <optional>
#include <string>

#include "platform/audio_file_details.h"

namespace talvora::record {

// The lines printed after a recording: file, container, encoding, rate, channels, frames,
// duration, size.
std::string describe(const std::string& path, const platform::AudioFileDetails& details);

// What talvora-record saw of a recording, to set against what its file holds.
struct Recorded {
  double seconds = 0;  // how long it ran, by the recorder's clock
  // How long the file stayed empty after the start; none when it was not seen to fill.
  std::optional<double> silentStart;
  bool inputStopped = false;  // the recorder warned that the microphone stopped delivering
};

// Less than this missing from the file is the audio still on its way when the recording
// stopped, not worth a word.
inline constexpr double kNoticeableShortfall = 0.2;

// "Recorded 28.7 s." by what the file holds, then, when that is noticeably less than the
// time recorded, a line that says how much less and why.
std::string recordedText(const Recorded& recorded, const platform::AudioFileDetails& details);

}  // namespace talvora::record
