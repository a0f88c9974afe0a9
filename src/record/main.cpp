// talvora-record FILE [--max SECONDS] [--transcribe] [--device NAME]
//                     [--stop-after-silence SECONDS]
//
// The recorder for people at a terminal: runs talvora-audio through the client library,
// shows a live meter, stops on Enter or Ctrl-C, then prints the transcript and what the
// file holds.

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <vector>

#include "client/recording.h"
#include "protocol/event.h"
#include "record/display.h"
#include "record/file_details.h"
#include "record/options.h"

namespace talvora::record {

namespace {

// Written by the signal handlers, read by the main loop: a stop signal ('s') becomes a
// stop request there, a new terminal size ('w') a redraw, outside the handler.
int signalPipe[2] = {-1, -1};

void onSignal(int signal) {
  int saved = errno;
  char byte = signal == SIGWINCH ? 'w' : 's';
  [[maybe_unused]] ssize_t ignored = ::write(signalPipe[1], &byte, 1);
  errno = saved;
}

// Typing is not echoed while the meter runs, so that Enter does not push the meter
// line down; the terminal gets its settings back however the program ends normally.
struct termios savedTerminal;
bool terminalChanged = false;

void restoreTerminal() {
  if (terminalChanged) ::tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
  terminalChanged = false;
}

void silenceTerminalEcho() {
  if (!::isatty(STDIN_FILENO) || ::tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
  struct termios quiet = savedTerminal;
  quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ECHONL));
  if (::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0) {
    terminalChanged = true;
    std::atexit(restoreTerminal);
  }
}

// The terminal's width; none when standard output is not a terminal that knows it.
int terminalColumns() {
  struct winsize size {};
  return ::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
}

DisplayStyle styleOfStandardOutput() {
  DisplayStyle style;
  style.terminal = ::isatty(STDOUT_FILENO) == 1;
  if (!style.terminal) return style;
  const char* noColour = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  style.colour = !(noColour && *noColour) && !(term && std::strcmp(term, "dumb") == 0);
  if (int columns = terminalColumns(); columns > 0) style.columns = columns;
  return style;
}

// Events travel from the client's reader thread to the main loop, which owns the display.
struct Mailbox {
  std::mutex mutex;
  std::deque<client::Event> events;
  int wake[2] = {-1, -1};

  void post(const client::Event& event) {
    {
      std::lock_guard lock(mutex);
      events.push_back(event);
    }
    char byte = 'e';
    [[maybe_unused]] ssize_t ignored = ::write(wake[1], &byte, 1);
  }
  std::deque<client::Event> take() {
    std::lock_guard lock(mutex);
    return std::exchange(events, {});
  }
};

void drain(int fd) {
  char buffer[256];
  while (::read(fd, buffer, sizeof buffer) > 0) {
  }
}

// The recorder reports a failure to create or write its file with the system's own
// words ("No such file or directory", "No space left on device"), which do not say
// what they are about; those get the file's name in front.
bool isSystemErrorText(const std::string& message) {
  static const std::set<std::string> texts = [] {
    std::set<std::string> all;
    for (int error = 1; error < 134; ++error) all.insert(std::strerror(error));
    return all;
  }();
  return texts.count(message) > 0;
}

std::string errorText(const std::string& message, const std::string& file, bool recording) {
  if (!isSystemErrorText(message)) return message;
  return (recording ? "cannot write " : "cannot create ") + file + ": " + message;
}

// "Microphone input stopped: …": the file holds less than the time recorded.
bool isInputLoss(const std::string& warning) {
  static const std::string loss = [] {
    std::string message = protocol::microphoneInputStopped("");
    return message.substr(0, message.find(':') + 1);
  }();
  return warning.rfind(loss, 0) == 0;
}

// Watches the file fill during the first seconds: how long the microphone delivered
// nothing after the start. Only the start is watched; a file read back ten times a
// second for the whole recording would cost far more than this is worth.
struct StartWatch {
  static constexpr double kWatched = 10;
  std::optional<double> silentStart;

  void look(const std::string& file, double elapsed) {
    if (silentStart || elapsed > kWatched) return;
    auto details = platform::readAudioFileDetails(file, nullptr);
    if (!details || details->frames <= 0 || details->sampleRate <= 0) return;
    silentStart = std::max(0.0, elapsed - static_cast<double>(details->frames) / details->sampleRate);
  }
};

// The lines after a recording: how much the file holds (and why less, if so), the
// transcript, the file's details. False when the file cannot be read back.
bool printOutcome(const Options& options, const Recorded& recorded, Display& display,
                  const std::optional<std::string>& transcript) {
  std::string failure;
  auto details = platform::readAudioFileDetails(options.file, &failure);
  if (details) std::fputs(recordedText(recorded, *details).c_str(), stdout);
  if (transcript) display.paragraph("Transcript", transcript->empty() ? "(no words recognised)" : *transcript);
  std::fflush(stdout);
  if (!details) {
    std::fprintf(stderr, "talvora-record: cannot read %s back: %s\n", options.file.c_str(), failure.c_str());
    return false;
  }
  std::fputs(describe(options.file, *details).c_str(), stdout);
  std::fflush(stdout);
  return true;
}

int record(const Options& options) {
  // Our output going away (a closed pipe) must not end us before the recorder has
  // been asked to stop and has closed its file.
  ::signal(SIGPIPE, SIG_IGN);
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return kFailed;
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH}) ::sigaction(signal, &action, nullptr);

  Mailbox mailbox;
  if (::pipe2(mailbox.wake, O_CLOEXEC | O_NONBLOCK) != 0) return kFailed;

  client::RecordingOptions recordingOptions;
  recordingOptions.output = options.file;
  recordingOptions.maxSeconds = options.maxSeconds;
  recordingOptions.transcribe = options.transcribe;
  if (const char* program = std::getenv("TALVORA_AUDIO"); program && *program) recordingOptions.executable = program;
  // The sound system's own way of naming the microphone, which the recorder follows.
  if (!options.device.empty()) recordingOptions.environment.emplace_back("PULSE_SOURCE", options.device);
  recordingOptions.onEvent = [&mailbox](const client::Event& event) { mailbox.post(event); };

  const DisplayStyle style = styleOfStandardOutput();
  Display display(stdout, style, options.maxSeconds);
  std::unique_ptr<client::Recording> recording;
  try {
    recording = std::make_unique<client::Recording>(recordingOptions);
  } catch (const std::system_error& failure) {
    std::fprintf(stderr, "talvora-record: %s\n", failure.what());
    return kFailed;
  }
  silenceTerminalEcho();

  bool stopping = false;  // asked to stop, or stopping by itself: the meter has said its last
  bool ready = false;
  bool keyboardOpen = true;
  StartWatch startWatch;
  auto stop = [&](const std::string& reason) {
    if (stopping) return;
    stopping = true;
    recording->requestStop();
    display.stopping(options.transcribe, reason);
  };
  auto show = [&](const client::Event& event) {
    if (auto* level = std::get_if<client::Level>(&event)) {
      display.level(*level);
      startWatch.look(options.file, level->elapsedSeconds);
      if (stopping) return;
      if (level->elapsedSeconds >= options.maxSeconds) {
        // The recorder stops by itself at this tick; say so rather than go quiet.
        stopping = true;
        display.maximumReached(options.transcribe);
      } else if (options.stopAfterSilence && level->silenceSeconds >= *options.stopAfterSilence) {
        char reason[96];
        std::snprintf(reason, sizeof reason, "Quiet for %.1f s (--stop-after-silence)", level->silenceSeconds);
        stop(reason);
      }
    } else if (std::holds_alternative<client::Ready>(event)) {
      ready = true;
      display.ready(options.file);
    } else if (auto* warning = std::get_if<client::Warning>(&event)) {
      display.warning(warning->message);
    } else if (auto* error = std::get_if<client::Error>(&event)) {
      display.interrupt();
      std::fflush(stdout);
      std::fprintf(stderr, "talvora-record: %s\n", errorText(error->message, options.file, ready).c_str());
    } else if (std::holds_alternative<client::Finished>(event)) {
      display.end();
    }
  };

  std::optional<client::RecordingResult> result;
  while (!result) {
    pollfd fds[3] = {{mailbox.wake[0], POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    // End of the keyboard (stdin from /dev/null, a finished here-document) is no stop:
    // the recording runs on to its maximum or a signal.
    int polled = ::poll(fds, keyboardOpen ? 3 : 2, 200);
    if (polled < 0 && errno != EINTR) break;
    if (polled > 0) {
      if (fds[0].revents) {
        drain(mailbox.wake[0]);
        for (const auto& event : mailbox.take()) show(event);
      }
      if (fds[1].revents) {
        // Any byte but 'w' is a stop signal.
        char bytes[64];
        ssize_t count = ::read(signalPipe[0], bytes, sizeof bytes);
        bool resized = false, stopSignal = false;
        for (ssize_t i = 0; i < count; ++i) (bytes[i] == 'w' ? resized : stopSignal) = true;
        if (resized) display.resize(terminalColumns());
        if (stopSignal) stop("");
      }
      if (keyboardOpen && fds[2].revents) {
        char buffer[256];
        ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count > 0 && std::memchr(buffer, '\n', static_cast<size_t>(count))) stop("");
        if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) keyboardOpen = false;
      }
    }
    result = recording->waitFor(std::chrono::milliseconds(0));
  }
  if (!result) result = recording->wait();
  // The reader delivers every event before the result is ready; show what is left.
  for (const auto& event : mailbox.take()) show(event);
  display.end();
  restoreTerminal();

  if (!result->standardError.empty()) std::fputs(result->standardError.c_str(), stderr);
  Recorded recorded;
  recorded.silentStart = startWatch.silentStart;
  recorded.inputStopped = std::any_of(result->warnings.begin(), result->warnings.end(), isInputLoss);

  if (!result->exited || !result->finished) {
    std::string how;
    if (!result->exited) {
      how = "was ended by signal " + std::to_string(result->signal) + " (" + ::strsignal(result->signal) + ")";
    } else if (result->errors.empty()) {
      how = "exited with status " + std::to_string(result->exitStatus) + " without finishing";
    }
    if (!result->ready) {
      if (!how.empty()) std::fprintf(stderr, "talvora-record: the recorder %s before recording began\n", how.c_str());
      return kFailed;
    }
    // The recorder keeps the file's header current, so what it wrote is playable.
    std::fprintf(stderr, "talvora-record: the recorder %s; %s holds the audio captured until then\n", how.c_str(),
                 options.file.c_str());
    recorded.seconds = result->lastElapsedSeconds;
    printOutcome(options, recorded, display, std::nullopt);
    return kFailed;
  }
  if (!result->ready) {
    if (!result->errors.empty()) return kFailed;
    std::printf("Stopped before the recording began: nothing was recorded.\n");
    return kStoppedBeforeStart;
  }

  recorded.seconds = result->durationSeconds;
  const auto transcript = options.transcribe ? std::optional(result->transcript) : std::nullopt;
  if (!printOutcome(options, recorded, display, transcript)) return kFailed;
  return result->succeeded() ? kRecorded : kFailed;
}

}  // namespace

int run(int argc, char** argv) {
  auto parsed = parseCommandLine(std::vector<std::string>(argv, argv + argc));
  if (auto* usage = std::get_if<UsageError>(&parsed)) {
    std::fprintf(stderr, "talvora-record: %s\nTry 'talvora-record --help'.\n", usage->message.c_str());
    return kUsage;
  }
  if (auto* request = std::get_if<Request>(&parsed)) {
    if (*request == Request::help) {
      std::fputs(usageText().c_str(), stdout);
    } else {
      std::printf("talvora-record %s\n", TALVORA_VERSION);
    }
    return std::fflush(stdout) == 0 ? kRecorded : kFailed;
  }
  return record(std::get<Options>(parsed));
}

}  // namespace talvora::record

int main(int argc, char** argv) { return talvora::record::run(argc, argv); }
