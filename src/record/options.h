#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "protocol/operands.h"

namespace talvora::record {

// The shortest --max: one meter tick. The recorder reports the level every 100 ms and
// stops at the first tick past its maximum, so anything shorter gives an empty file.
inline constexpr double kShortestRecording = 0.1;

// Exit statuses, as the manual page and --help list them.
inline constexpr int kRecorded = 0;
inline constexpr int kFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kStoppedBeforeStart = 3;

struct Options {
  std::string file;
  double maxSeconds = protocol::kLongestRecording;
  bool transcribe = false;
  // The microphone: a PulseAudio/PipeWire source name, passed on as PULSE_SOURCE. Empty:
  // the recorder's environment is left as it is (the user's default source, or the
  // PULSE_SOURCE already set).
  std::string device;
  // Stop once the input has been quiet this long.
  std::optional<double> stopAfterSilence;
};

enum class Request { help, version };

// The command line was wrong: the message says why (exit status 2).
struct UsageError {
  std::string message;
};

// talvora-record FILE [--max SECONDS] [--transcribe] [--device NAME]
// [--stop-after-silence SECONDS]; options may come before or after FILE, "--max=SECONDS"
// works too, and "--" ends the options. A FILE that is a folder is refused here, before
// the recorder starts, with a message that says so.
std::variant<Options, Request, UsageError> parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace talvora::record
