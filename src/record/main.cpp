// talvora-record FILE [--max SECONDS] [--transcribe]
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

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <system_error>
#include <vector>

#include "client/recording.h"
#include "record/display.h"
#include "record/file_details.h"
#include "record/options.h"

namespace talvora::record {

namespace {

constexpr int kRecorded = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// Written by the signal handler, read by the main loop: a stop signal becomes a stop
// request there, outside the handler.
int signalPipe[2] = {-1, -1};

void onStopSignal(int) {
  int saved = errno;
  char byte = 's';
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

DisplayStyle styleOfStandardOutput() {
  DisplayStyle style;
  style.terminal = ::isatty(STDOUT_FILENO) == 1;
  if (!style.terminal) return style;
  const char* noColour = std::getenv("NO_COLOR");
  const char* term = std::getenv("TERM");
  style.colour = !(noColour && *noColour) && !(term && std::strcmp(term, "dumb") == 0);
  struct winsize size {};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) style.columns = size.ws_col;
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

int record(const Options& options) {
  // Our output going away (a closed pipe) must not end us before the recorder has
  // been asked to stop and has closed its file.
  ::signal(SIGPIPE, SIG_IGN);
  if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return kFailed;
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);

  Mailbox mailbox;
  if (::pipe2(mailbox.wake, O_CLOEXEC | O_NONBLOCK) != 0) return kFailed;

  client::RecordingOptions recordingOptions;
  recordingOptions.output = options.file;
  recordingOptions.maxSeconds = options.maxSeconds;
  recordingOptions.transcribe = options.transcribe;
  if (const char* program = std::getenv("TALVORA_AUDIO"); program && *program) recordingOptions.executable = program;
  recordingOptions.onEvent = [&mailbox](const client::Event& event) { mailbox.post(event); };

  Display display(stdout, styleOfStandardOutput(), options.maxSeconds);
  std::unique_ptr<client::Recording> recording;
  try {
    recording = std::make_unique<client::Recording>(recordingOptions);
  } catch (const std::system_error& failure) {
    std::fprintf(stderr, "talvora-record: %s\n", failure.what());
    return kFailed;
  }
  silenceTerminalEcho();

  bool stopRequested = false;
  bool keyboardOpen = true;
  auto stop = [&] {
    if (stopRequested) return;
    stopRequested = true;
    recording->requestStop();
    display.stopping(options.transcribe);
  };
  auto show = [&](const client::Event& event) {
    if (auto* level = std::get_if<client::Level>(&event)) {
      display.level(*level);
    } else if (std::holds_alternative<client::Ready>(event)) {
      display.ready(options.file);
    } else if (auto* warning = std::get_if<client::Warning>(&event)) {
      display.warning(warning->message);
    } else if (auto* error = std::get_if<client::Error>(&event)) {
      display.interrupt();
      std::fflush(stdout);
      std::fprintf(stderr, "talvora-record: %s\n", error->message.c_str());
    } else if (std::holds_alternative<client::Finished>(event)) {
      display.end();
    }
  };

  std::optional<client::RecordingResult> result;
  while (!result) {
    pollfd fds[3] = {{mailbox.wake[0], POLLIN, 0}, {signalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    // End of the keyboard (stdin from /dev/null, a finished here-document) is no stop:
    // the recording runs on to its maximum or a signal.
    int ready = ::poll(fds, keyboardOpen ? 3 : 2, 200);
    if (ready < 0 && errno != EINTR) break;
    if (ready > 0) {
      if (fds[0].revents) {
        drain(mailbox.wake[0]);
        for (const auto& event : mailbox.take()) show(event);
      }
      if (fds[1].revents) {
        drain(signalPipe[0]);
        stop();
      }
      if (keyboardOpen && fds[2].revents) {
        char buffer[256];
        ssize_t count = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (count > 0 && std::memchr(buffer, '\n', static_cast<size_t>(count))) stop();
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
  if (!result->exited) {
    std::fprintf(stderr, "talvora-record: the recorder was ended by signal %d (%s)\n", result->signal,
                 ::strsignal(result->signal));
    return kFailed;
  }
  if (!result->finished) {
    if (result->errors.empty()) {
      std::fprintf(stderr, "talvora-record: the recorder exited with status %d without finishing\n",
                   result->exitStatus);
    }
    return kFailed;
  }

  std::printf("Recorded %.1f s.\n", result->durationSeconds);
  if (options.transcribe) {
    std::printf("Transcript: %s\n", result->transcript.empty() ? "(no words recognised)" : result->transcript.c_str());
  }
  std::string failure;
  auto details = platform::readAudioFileDetails(options.file, &failure);
  if (!details) {
    std::fflush(stdout);
    std::fprintf(stderr, "talvora-record: cannot read %s back: %s\n", options.file.c_str(), failure.c_str());
    return kFailed;
  }
  std::fputs(describe(options.file, *details).c_str(), stdout);
  std::fflush(stdout);
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
