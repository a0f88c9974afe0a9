// talvora-audio OUTPUT MAX_SECONDS TRANSCRIBE
//
// Records the default microphone into OUTPUT, reporting JSON event lines on standard
// output, until "stop" (or end of input) on standard input, a signal, or MAX_SECONDS.

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "capture/voice_capture.h"
#include "cli/stop_listener.h"
#include "events/emit.h"
#include "platform/dispatch/run_loop.h"
#include "platform/platform.h"
#include "platform/process.h"
#include "protocol/operands.h"

namespace talvora::cli {

// Set once by main and never replaced.
std::vector<std::string> arguments;
double maximum = 0;
std::shared_ptr<capture::VoiceCapture> capture;

namespace {

platform::RunLoop mainRunLoop;

[[noreturn]] void fail(const std::string& message) {
  events::emit(events::errorEvent(message));
  platform::exitProcess(1);
}

void permissionHandler(bool granted) {
  if (!granted) fail(events::kPermissionDenied);
  const bool transcribe = arguments[3] == protocol::kTranscribeOn;
  platform::Error failure;
  if (capture->startUnlessStopped(transcribe, &failure) == capture::VoiceCapture::StartOutcome::failed) {
    fail(failure.description);
  }
}

}  // namespace

int run(int argc, char** argv) {
  // A parent that closes its end of our output must not kill the recording: writes then
  // fail quietly and the file is still closed properly.
  signal(SIGPIPE, SIG_IGN);
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  arguments.assign(argv, argv + argc);
  if (arguments.size() != 4) fail(events::kInvalidArguments);
  std::optional<double> parsed = protocol::parseDurationText(arguments[2]);
  if (!parsed) fail(events::kInvalidArguments);
  maximum = *parsed;
  if (!protocol::isValidDuration(maximum)) fail(events::kInvalidDuration);

  platform::Platform platform = platform::makeLinuxPlatform();
  auto microphone = platform.microphone;
  capture = capture::VoiceCapture::create(arguments[1], maximum, std::move(platform),
                                          {events::emit, [](int status) { platform::exitProcess(status); }});

  microphone->requestAccess([](bool granted) { mainRunLoop.post([granted] { permissionHandler(granted); }); });

  // The stop signals are blocked in every thread (the mask is inherited), so a stop
  // requested by Ctrl-C or a terminating parent reaches the signal thread only.
  StopTriggers stopTriggers(STDIN_FILENO, stopSignals, [] { capture->requestStop(); });

  mainRunLoop.run();
  return 0;
}

}  // namespace talvora::cli

int main(int argc, char** argv) { return talvora::cli::run(argc, argv); }
