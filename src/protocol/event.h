#pragma once

// The recorder's standard output: one JSON object per line, its "event" key naming the
// kind. Parent applications find values by these keys and match on these kinds and
// messages, so each is spelled here and nowhere else.

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace talvora::protocol {

// The values of the "event" key.
namespace kind {
inline constexpr const char *ready = "ready", *level = "level", *warning = "warning", *error = "error",
                            *finished = "finished";
}  // namespace kind

// The keys of every kind: "event" and, by kind, level, elapsedSeconds and silenceSeconds
// (level); message (warning, error); durationSeconds and localTranscript (finished).
namespace key {
inline constexpr const char* event = "event";
inline constexpr const char* level = "level";
inline constexpr const char* elapsedSeconds = "elapsedSeconds";
inline constexpr const char* silenceSeconds = "silenceSeconds";
inline constexpr const char* message = "message";
inline constexpr const char* durationSeconds = "durationSeconds";
inline constexpr const char* localTranscript = "localTranscript";
}  // namespace key

// One record of the event stream: the "event" key naming its kind, and flat string or
// number values. Single-precision values keep their type so they are written with their
// own shortest digits.
struct Event {
  using Value = std::variant<std::string, float, double>;

  explicit Event(std::string kind) { fields.emplace_back(key::event, std::move(kind)); }
  Event& with(std::string key, Value value) {
    fields.emplace_back(std::move(key), std::move(value));
    return *this;
  }

  std::vector<std::pair<std::string, Value>> fields;
};

// The catalogue's fixed messages.
inline constexpr const char* kInvalidArguments = "Invalid capture arguments";
inline constexpr const char* kInvalidDuration = "Invalid recording duration";
inline constexpr const char* kPermissionDenied =
    "Microphone permission denied. Allow microphone access in System Settings.";
inline constexpr const char* kNoUsableFormat = "Microphone has no usable audio format";
inline constexpr const char* kStorageCannotKeepUp =
    "Audio storage cannot keep up. Recording stopped; captured audio remains on disk.";
inline constexpr const char* kTranscriptionUnavailable =
    "Apple on-device transcription is unavailable; audio will still be saved.";

inline Event errorEvent(std::string message) { return Event(kind::error).with(key::message, std::move(message)); }
inline Event warningEvent(std::string message) { return Event(kind::warning).with(key::message, std::move(message)); }
inline Event readyEvent() { return Event(kind::ready); }
inline Event levelEvent(float level, double elapsedSeconds, double silenceSeconds) {
  return Event(kind::level)
      .with(key::level, level)
      .with(key::elapsedSeconds, elapsedSeconds)
      .with(key::silenceSeconds, silenceSeconds);
}
inline Event finishedEvent(double durationSeconds, std::string localTranscript) {
  return Event(kind::finished)
      .with(key::durationSeconds, durationSeconds)
      .with(key::localTranscript, std::move(localTranscript));
}

inline std::string voiceProcessingUnavailable(const std::string& description) {
  return "Apple voice processing is unavailable: " + description + ". Recording with the microphone input.";
}
inline std::string transcriptionFailed(const std::string& description) {
  return "Apple transcription: " + description;
}
inline std::string microphoneInputStopped(const std::string& description) {
  return "Microphone input stopped: " + description + ". Audio captured so far remains on disk.";
}

}  // namespace talvora::protocol
