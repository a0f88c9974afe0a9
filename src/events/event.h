#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace talvora::events {

// One record of the event stream: the "event" key naming its kind, and flat string or
// number values. Single-precision values keep their type so they are written with their
// own shortest digits.
struct Event {
  using Value = std::variant<std::string, float, double>;

  explicit Event(std::string kind) { fields.emplace_back("event", std::move(kind)); }
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

inline Event errorEvent(std::string message) { return Event("error").with("message", std::move(message)); }
inline Event warningEvent(std::string message) { return Event("warning").with("message", std::move(message)); }
inline Event readyEvent() { return Event("ready"); }
inline Event levelEvent(float level, double elapsedSeconds, double silenceSeconds) {
  return Event("level")
      .with("level", level)
      .with("elapsedSeconds", elapsedSeconds)
      .with("silenceSeconds", silenceSeconds);
}
inline Event finishedEvent(double durationSeconds, std::string localTranscript) {
  return Event("finished")
      .with("durationSeconds", durationSeconds)
      .with("localTranscript", std::move(localTranscript));
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

}  // namespace talvora::events
