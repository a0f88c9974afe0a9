#include "record/options.h"

#include "protocol/operands.h"

namespace talvora::record {

std::string usageText() {
  const std::string longest = protocol::durationOperand(protocol::kLongestRecording);
  return "Usage: talvora-record FILE [--max SECONDS] [--transcribe]\n"
         "Records the default microphone into FILE with a live level meter.\n"
         "Press Enter or Ctrl-C to stop; the transcript and the file's details follow.\n"
         "\n"
         "  FILE               the audio file to write (replaced if it exists); its\n"
         "                     extension picks the container:\n"
         "                     " +
         protocol::supportedExtensionsText() +
         "\n"
         "  --max SECONDS      stop by itself after SECONDS (more than 0, at most " +
         longest +
         ";\n"
         "                     default " +
         longest +
         ")\n"
         "  --transcribe       transcribe on this computer while recording\n"
         "  -h, --help         show this help and exit\n"
         "  -V, --version      show the version and exit\n"
         "\n"
         "Exit status: 0 recorded, 1 the recorder failed, 2 wrong command line.\n"
         "The recorder program is talvora-audio next to this one, or on PATH, or the one\n"
         "named by the TALVORA_AUDIO environment variable.\n";
}

std::variant<Options, Request, UsageError> parseCommandLine(const std::vector<std::string>& arguments) {
  Options options;
  bool haveFile = false;
  bool optionsEnded = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    bool isOption = !optionsEnded && argument.size() > 1 && argument[0] == '-';
    if (!isOption) {
      if (haveFile) return UsageError{"only one FILE, got \"" + options.file + "\" and \"" + argument + "\""};
      options.file = argument;
      haveFile = true;
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "-h" || argument == "--help") {
      return Request::help;
    } else if (argument == "-V" || argument == "--version") {
      return Request::version;
    } else if (argument == "--transcribe") {
      options.transcribe = true;
    } else if (argument == "--max" || argument.rfind("--max=", 0) == 0) {
      if (argument == "--max") {
        if (i + 1 >= arguments.size()) return UsageError{"--max needs a number of seconds"};
        options.maxText = arguments[++i];
      } else {
        options.maxText = argument.substr(6);
      }
      // The recorder's own grammar, so that what passes here passes there.
      auto seconds = protocol::parseDurationText(options.maxText);
      if (!seconds || !protocol::isValidDuration(*seconds)) {
        return UsageError{"--max wants seconds, more than 0 and at most " +
                          protocol::durationOperand(protocol::kLongestRecording) + ", not \"" + options.maxText +
                          "\""};
      }
      options.maxSeconds = *seconds;
    } else {
      return UsageError{"unknown option " + argument};
    }
  }
  if (!haveFile) return UsageError{"missing FILE"};
  if (!protocol::containerForPath(options.file)) {
    return UsageError{"cannot record into \"" + options.file + "\": FILE must end in " +
                      protocol::supportedExtensionsText()};
  }
  return options;
}

}  // namespace talvora::record
