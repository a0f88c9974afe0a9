#pragma once

// Event records to lines and back: what the recorder writes, and what a parent reads.

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "protocol/event.h"

namespace talvora::protocol {

// Serializes a record as one line of compact JSON, line feed included. Returns none, and
// the reason in `failure`, when the record holds a value JSON cannot carry (a number that
// is not finite). Invalid UTF-8 in strings is replaced by U+FFFD, never a failure.
std::optional<std::string> serialize(const Event& event, std::string* failure);

// The recorder is ready: the microphone is open and audio is reaching the file.
struct Ready {};

// The meter, ten times a second while recording.
struct Level {
  float level = 0;              // 0 (silence) … 1 (full scale), perceptual
  double elapsedSeconds = 0;    // audio recorded so far
  double silenceSeconds = 0;    // how long the input has been quiet
};

// Something degraded but the recording goes on (no voice processing, no transcription,
// the microphone went away: what was captured is on disk).
struct Warning {
  std::string message;
};

// Before "ready": the recording never started and the recorder exits with status 1.
// After "ready": the recording stopped early; "finished" still follows.
struct Error {
  std::string message;
};

// The last event: the file is complete and closed.
struct Finished {
  double durationSeconds = 0;
  std::string localTranscript;  // empty without transcription
};

// A line that is not one of the events above (not JSON, an unknown kind, a missing or
// mistyped key). Kept rather than dropped so a newer recorder or a stray write shows up.
struct Unparsed {
  std::string line;
};

using ParsedEvent = std::variant<Ready, Level, Warning, Error, Finished, Unparsed>;

// Parses one line of the recorder's standard output (without its line feed; a trailing
// carriage return is tolerated). Keys may come in any order and unknown keys are
// ignored; a number is accepted wherever one is expected, integer or not.
ParsedEvent parseEventLine(std::string_view line);

// The "event" key's value for an event ("ready", "level", …; "unparsed" for Unparsed).
const char* kindName(const ParsedEvent& event);

}  // namespace talvora::protocol
