#include "record/options.h"

#include <sys/stat.h>

#include "protocol/operands.h"

namespace talvora::record {

namespace {

// "--max SECONDS" or "--max=SECONDS": the value, the name matched, or none for another
// option. `i` moves past a separate value.
struct Valued {
  bool matched = false;
  std::optional<std::string> value;  // none: the value is missing
};

Valued valueOf(const std::string& name, const std::vector<std::string>& arguments, size_t& i) {
  const std::string& argument = arguments[i];
  if (argument == name) {
    if (i + 1 >= arguments.size()) return {true, std::nullopt};
    return {true, arguments[++i]};
  }
  if (argument.rfind(name + "=", 0) == 0) return {true, argument.substr(name.size() + 1)};
  return {};
}

// The seconds of --max or --stop-after-silence, in the recorder's own grammar so that
// what passes here passes there, or why not.
std::variant<double, UsageError> secondsOf(const std::string& name, const Valued& given) {
  auto seconds = given.value ? protocol::parseDurationText(*given.value) : std::nullopt;
  if (seconds && protocol::isValidDuration(*seconds) && *seconds >= kShortestRecording) return *seconds;
  return UsageError{name + " wants seconds, at least " + protocol::durationOperand(kShortestRecording) +
                    " and at most " + protocol::durationOperand(protocol::kLongestRecording) +
                    (given.value ? ", not \"" + *given.value + "\"" : "")};
}

bool isFolder(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

}  // namespace

std::string usageText() {
  const std::string longest = protocol::durationOperand(protocol::kLongestRecording);
  const std::string shortest = protocol::durationOperand(kShortestRecording);
  return "Usage: talvora-record FILE [--max SECONDS] [--transcribe] [--device NAME]\n"
         "                      [--stop-after-silence SECONDS]\n"
         "Records the microphone into FILE with a live level meter.\n"
         "Press Enter or Ctrl-C to stop; the transcript and the file's details follow.\n"
         "\n"
         "  FILE               the audio file to write (replaced if it exists); its\n"
         "                     extension picks the container:\n"
         "                     " +
         protocol::supportedExtensionsText() +
         "\n"
         "  --max SECONDS      stop by itself after SECONDS (at least " +
         shortest + ", at most " + longest +
         ";\n"
         "                     default " +
         longest +
         ")\n"
         "  --transcribe       transcribe on this computer while recording\n"
         "  --device NAME      record the sound server's source NAME instead of the\n"
         "                     default microphone (sets PULSE_SOURCE for the recorder);\n"
         "                     'pactl list short sources' lists the names\n"
         "  --stop-after-silence SECONDS\n"
         "                     stop once the input has been quiet for SECONDS\n"
         "                     (counted from the start until someone speaks)\n"
         "  -h, --help         show this help and exit\n"
         "  -V, --version      show the version and exit\n"
         "\n"
         "The meter shows the loudness (RMS) in dBFS, from -60 to 0. The recorder's level\n"
         "stops at -18 dBFS: '!' marks a reading at that cap, loud input that may clip.\n"
         "\n"
         "Exit status: 0 recorded, 1 the recorder failed or was killed (the file keeps\n"
         "what was captured), 2 wrong command line, 3 stopped before the recording\n"
         "began (nothing was recorded).\n"
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
    } else if (auto max = valueOf("--max", arguments, i); max.matched) {
      auto seconds = secondsOf("--max", max);
      if (auto* wrong = std::get_if<UsageError>(&seconds)) return *wrong;
      options.maxSeconds = std::get<double>(seconds);
    } else if (auto silence = valueOf("--stop-after-silence", arguments, i); silence.matched) {
      auto seconds = secondsOf("--stop-after-silence", silence);
      if (auto* wrong = std::get_if<UsageError>(&seconds)) return *wrong;
      options.stopAfterSilence = std::get<double>(seconds);
    } else if (auto device = valueOf("--device", arguments, i); device.matched) {
      if (!device.value || device.value->empty()) return UsageError{"--device needs a source name"};
      options.device = *device.value;
    } else {
      return UsageError{"unknown option " + argument};
    }
  }
  if (!haveFile) return UsageError{"missing FILE"};
  if (isFolder(options.file)) return UsageError{"cannot record into \"" + options.file + "\": it is a folder"};
  if (!protocol::containerForPath(options.file)) {
    return UsageError{"cannot record into \"" + options.file + "\": FILE must end in " +
                      protocol::supportedExtensionsText()};
  }
  return options;
}

}  // namespace talvora::record
