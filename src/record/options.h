#pragma once

#include <string>
#include <variant>
#include <vector>

#include "protocol/operands.h"

namespace talvora::record {

struct Options {
  std::string file;
  double maxSeconds = protocol::kLongestRecording;
  std::string maxText = protocol::durationOperand(protocol::kLongestRecording);  // as given, for the messages
  bool transcribe = false;
};

enum class Request { help, version };

// The command line was wrong: the message says why (exit status 2).
struct UsageError {
  std::string message;
};

// talvora-record FILE [--max SECONDS] [--transcribe]; options may come before or after
// FILE, "--max=SECONDS" works too, and "--" ends the options.
std::variant<Options, Request, UsageError> parseCommandLine(const std::vector<std::string>& arguments);

std::string usageText();

}  // namespace talvora::record
