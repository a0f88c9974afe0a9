#pragma once

// Runs the recorder (talvora-audio) as a child process and turns its standard output
// into typed events.
//
//   talvora::client::RecordingOptions options;
//   options.output = "note.wav";
//   options.maxSeconds = 60;
//   options.onEvent = [](const talvora::client::Event& event) { … };
//   talvora::client::Recording recording(options);   // throws std::system_error
//   …
//   recording.requestStop();
//   talvora::client::RecordingResult result = recording.wait();
//
// Threads: the child's output is read on a thread of the Recording's own, and onEvent
// runs there, one event at a time, in the order the child wrote them. Every other member
// may be called from any thread.
//
// SIGPIPE: writing "stop" to a child that has already gone would raise SIGPIPE, whose
// default action ends the whole application. The write keeps it from the process and
// leaves the application's own SIGPIPE handling exactly as it was (see
// ChildProcess::write in client/child_process.h).
//
// SIGCHLD: the child is reaped by the Recording. An application that sets SIGCHLD to
// SIG_IGN, or reaps every child with waitpid(-1, …), takes the exit status away; the
// result then reports exited == false.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/events.h"
#include "protocol/operands.h"

namespace talvora::client {

struct RecordingOptions {
  // The audio file to write; its extension picks the container: .wav .caf .aif .aiff
  // .aifc .w64 .rf64 (32-bit float), .flac (24-bit lossless), .opus .ogg (Ogg Opus) or
  // .mp3 (lossy, for speech). Bytes per minute at 48 kHz are in the README.
  std::string output;
  // The recording stops by itself after this long; more than 0 and at most
  // protocol::kLongestRecording.
  double maxSeconds = protocol::kLongestRecording;
  // Transcribe on the device while recording; the text arrives with Finished.
  bool transcribe = false;
  // The recorder program. Empty: defaultRecorderPath(). A name without a slash is looked
  // up on PATH.
  std::string executable;
  // Variables set (or replaced) in the child's environment, on top of this process's:
  // PULSE_SERVER, PULSE_SOURCE, LC_ALL, …
  std::vector<std::pair<std::string, std::string>> environment;
  // Called on the reader thread for every line of output. It may call requestStop() and
  // terminate(); it must not call wait() (that would wait for itself). The first events
  // may arrive before the constructor has returned: a callback that uses the Recording
  // must not assume it has been stored yet (or hand events to a thread of the
  // application's, as talvora-record does).
  std::function<void(const Event&)> onEvent;
  // The destructor of a Recording still running asks it to stop, waits this long for it
  // to finish, then sends SIGTERM and waits as long again, then SIGKILL. Finishing may
  // take a while with transcription on: the recognizer drains what it has heard.
  std::chrono::milliseconds stopGrace{10000};
  // Puts the child in a process group of its own so that Ctrl-C on a terminal reaches
  // only this process, which then decides when to stop the recording.
  bool separateProcessGroup = true;
};

struct RecordingResult {
  // How the child ended: exited with exitStatus, or killed by signal.
  bool exited = false;
  int exitStatus = -1;
  int signal = 0;

  bool ready = false;     // the "ready" event arrived
  bool finished = false;  // the "finished" event arrived
  double durationSeconds = 0;
  std::string transcript;
  double lastElapsedSeconds = 0;  // from the last level event

  std::vector<std::string> errors;
  std::vector<std::string> warnings;
  std::vector<std::string> unparsed;  // at most the first 100 lines that were not events
  std::string standardError;          // at most the first 64 KiB the child wrote there

  // Finished, exit status 0, and no error on the way.
  bool succeeded() const { return exited && exitStatus == 0 && finished && errors.empty(); }
};

class Recording {
 public:
  // Starts the recorder with the three operands OUTPUT MAX_SECONDS TRANSCRIBE. Throws
  // std::system_error when the program cannot be started (not found, not executable,
  // out of descriptors). Everything after that, including a refusal by the recorder,
  // arrives as events and in the result.
  explicit Recording(RecordingOptions options);
  // Stops and reaps the child (see RecordingOptions::stopGrace) and joins the reader.
  // Called from its own callback, it returns at once instead: the reader then stops the
  // child on its own (the same grace periods, SIGTERM, SIGKILL), calls no more callbacks,
  // and is joined by the next Recording to start or when the process exits.
  ~Recording();

  pid_t pid() const;

  // Writes the line "stop" to the child's standard input, then closes it: end of input
  // stops the recorder as well, should the line not get through. Idempotent; harmless
  // once the child is gone.
  void requestStop();

  // Sends a signal to the child unless it has already exited. SIGINT, SIGTERM and SIGHUP
  // stop the recorder as cleanly as requestStop(); SIGKILL loses the file's last blocks.
  void terminate(int signal);

  // Blocks until the child has exited and all of its output has been delivered.
  RecordingResult wait();
  // The same, giving up after `timeout`; none if the child is still running.
  std::optional<RecordingResult> waitFor(std::chrono::milliseconds timeout);

 private:
  // One child, one owner: copies would share the reader and stop the child twice.
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

  struct State;
  std::shared_ptr<State> state_;
};

// Where the recorder is expected: talvora-audio next to the running executable (both are
// installed in the same folder), else the first one on PATH, else the bare name.
std::string defaultRecorderPath();

// The maximum-seconds operand as the recorder parses it: C-locale, shortest round trip.
using protocol::durationOperand;

}  // namespace talvora::client
