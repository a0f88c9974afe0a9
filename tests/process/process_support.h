#pragma once

// What the process-level drills share: where the recorder writes, what it is fed, and
// the checks every drill ends with (the file on disk opens as mono float at the source's
// rate and holds what was fed up to the fault).

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/audio_signals.h"
#include "support/fifo_feeder.h"
#include "support/pulse_server.h"
#include "support/recorder_process.h"

namespace talvora::testing {

using Json = nlohmann::json;
using namespace std::chrono_literals;

// The microphone most drills record: the source's native format.
constexpr unsigned kRate = 48000;
constexpr unsigned kChannels = 2;

// A private directory removed with everything in it when the test ends.
class ScratchDirectory {
 public:
  explicit ScratchDirectory(unsigned mode = 0755);
  ~ScratchDirectory();
  ScratchDirectory(const ScratchDirectory&) = delete;
  ScratchDirectory& operator=(const ScratchDirectory&) = delete;

  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A mount a drill makes, detached again when the drill ends.
class ScratchMount {
 public:
  // A tmpfs of `bytes` on `where` (made if need be) that fills up.
  static std::unique_ptr<ScratchMount> smallFileSystem(const std::string& where, int64_t bytes);
  // `where` bound onto itself read-only: even root cannot create files in it, unlike a
  // directory without write permission.
  static std::unique_ptr<ScratchMount> readOnly(const std::string& where);
  ~ScratchMount();
  ScratchMount(const ScratchMount&) = delete;
  ScratchMount& operator=(const ScratchMount&) = delete;

 private:
  explicit ScratchMount(std::string where) : where_(std::move(where)) {}
  std::string where_;
};

// The recorder on `server`'s default source, writing `output`.
RecorderOptions recorderOn(const PulseServer& server, const std::string& output, const std::string& maximum = "60",
                           const std::string& transcribe = "false");

// How most drills begin: a private server with a kRate/kChannels microphone, a scratch
// folder, and the recorder on that server writing `path` there, ready (none with
// `startRecorder` false, for a drill that starts its own).
struct Drill {
  explicit Drill(bool startRecorder = true);

  // The server's microphone, opened on first use (after "ready": the server reads it
  // only while something records).
  FifoFeeder& microphone();
  // Feeds `seconds` of speech-like sound in real time and waits until the file holds it
  // on top of the `fileFramesBefore` it had; returns what was fed.
  Audio feedAndWait(double seconds, int64_t fileFramesBefore = 0);

  PulseServer server;
  ScratchDirectory out;
  const std::string path;
  std::optional<RecorderProcess> recorder;
  std::optional<FifoFeeder> feeder;
};

// An environment that reaches no sound server at all, for operands rejected before any
// connection is made.
Environment serverlessEnvironment(const std::string& home);

// The number `key` of `event`; a failure (and NaN) when it is missing or not a number.
double numberOf(const Json& event, const std::string& key);
// The string `key` of `event`; a failure (and "") when it is missing or not a string.
std::string textOf(const Json& event, const std::string& key);

// Asserts that libsndfile opens `path` as one channel of 32-bit float at `rate` and
// returns what its header says (none after a failed assertion). For a WAV file it also
// reads the header's own sizes, which libsndfile forgives but other players trust: a
// closed file declares exactly what it holds; one whose writer was killed may lag by at
// most `unclosedLagBytes` of audio written after the last header update.
std::optional<SoundFileInfo> expectPlayable(const std::string& path, unsigned rate, bool closed = true,
                                            int64_t unclosedLagBytes = 0);

// The sizes a RIFF/WAVE header declares, and the file's real size.
struct WavLayout {
  int64_t riffBytes = 0;   // the RIFF chunk's size field
  int64_t dataOffset = 0;  // where the samples start
  int64_t dataBytes = 0;   // the "data" chunk's size field
  int64_t fileBytes = 0;
};
// None when `path` is not a RIFF/WAVE file with a "data" chunk.
std::optional<WavLayout> readWavLayout(const std::string& path);
// The frame count of `info`, or -1 when there is none (a failure already reported).
inline int64_t framesIn(const std::optional<SoundFileInfo>& info) { return info ? info->frames : -1; }

// Feeds `audio` in real time and waits until the server has read all of it and the
// file counts `fileFramesBefore` + its frames.
void feedAndWaitForFile(FifoFeeder& feeder, const Audio& audio, const std::string& path,
                        int64_t fileFramesBefore = 0);

// Reads events until a "level" event stamped at least `span` later than now has
// arrived (the recorder stamps each with its own elapsed time, and events written
// before now may still wait in the pipe); a "finished", or the end of output, before
// that is a failure: the recorder stopped.
void expectStillRecording(RecorderProcess& recorder, std::chrono::milliseconds span);

// Writes "stop". A recorder that has already ended (its input is closed) is left to
// the checks that follow, which then report why it ended, instead of throwing here.
void stopUnlessGone(RecorderProcess& recorder);

// The "finished" event (returned), status 0, nothing on standard error, no "error".
Json expectCleanFinish(RecorderProcess& recorder);

// A write that failed while recording: one "error" event with `message` (the system's
// words) and nothing else, then "finished", status 0, nothing on standard error.
void expectStoppedByAWriteFailure(RecorderProcess& recorder, const std::string& message);

// Whether a "warning" said that voice processing is off (the recording is then the
// plain mix of the input channels).
bool voiceProcessingWasOff(const std::vector<Json>& events);

// Asserts that the recording at `path` is the beginning of `fed`: sample for sample when
// voice processing was off, otherwise by its level envelope (processing changes the
// gain, not where the syllables and pauses are).
void expectRecordingFollows(const std::string& path, const Audio& fed, bool voiceProcessingOff);

// Silence in `channels` at `rate`.
Audio silence(unsigned rate, unsigned channels, double seconds);
// `a` then `b` (same rate and layout).
Audio concatenate(const Audio& a, const Audio& b);
// One of the LibriVox excerpts that ship with the speech engine's test data (16 kHz,
// mono), read through libsndfile; throws when it is not installed.
Audio librivoxExcerpt(const std::string& name);

// What /proc says of a process: "VmHWM" and the like, in kB; none when unreadable.
std::optional<long> procStatusKilobytes(pid_t pid, const std::string& field);

// The events of `kind` in `events`.
std::vector<Json> ofKind(const std::vector<Json>& events, const std::string& kind);

}  // namespace talvora::testing
