#include "record/options.h"

#include "cli/arguments.h"
#include "platform/sndfile/sndfile_audio_file.h"

namespace talvora::record {

std::string usageText() {
  return "Usage: talvora-record FILE [--max SECONDS] [--transcribe]\n"
         "Records the default microphone into FILE with a live level meter.\n"
         "Press Enter or Ctrl-C to stop; the transcript and the file's details follow.\n"
         "\n"
         "  FILE               the audio file to write (replaced if it exists); its\n"
         "                     extension picks the container:\n"
         "                     " +
         std::string(platform::supportedExtensionsText()) +
         "\n"
         "  --max SECONDS      stop by itself after SECONDS (more than 0, at most 1800;\n"
         "                     default 1800)\n"
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
      auto seconds = cli::parseDurationText(options.maxText);
      if (!seconds || !cli::isValidDuration(*seconds)) {
        return UsageError{"--max wants seconds, more than 0 and at most 1800, not \"" + options.maxText + "\""};
      }
      options.maxSeconds = *seconds;
    } else {
      return UsageError{"unknown option " + argument};
    }
  }
  if (!haveFile) return UsageError{"missing FILE"};
  if (!platform::sndfileFormatForPath(options.file)) {
    return UsageError{"cannot record into \"" + options.file + "\": FILE must end in " +
                      platform::supportedExtensionsText()};
  }
  return options;
}

}  // namespace talvora::record
