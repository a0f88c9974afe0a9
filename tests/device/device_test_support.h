#pragma once

// Small helpers shared by the device tests of the recorder binary.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>

#include "client/child_process.h"
#include "support/audio_signals.h"
#include "support/pulse_server.h"
#include "support/recorder_process.h"

namespace talvora::testing {

// A temporary directory removed with everything in it when the test ends.
class TemporaryDirectory {
 public:
  explicit TemporaryDirectory(unsigned mode = 0755);
  ~TemporaryDirectory();
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Plays `audio` into the server's null sink (pacat, so any server that speaks the
// protocol takes it), in real time on the sink's clock: what the sink's monitor, a live
// source, then hears. A player stops when its server goes away. It is waited for (and
// killed if it still plays) when the object goes.
class SinkPlayer {
 public:
  SinkPlayer(const PulseServer& server, const Audio& audio);
  ~SinkPlayer();
  SinkPlayer(const SinkPlayer&) = delete;
  SinkPlayer& operator=(const SinkPlayer&) = delete;

 private:
  TemporaryDirectory directory_;
  std::unique_ptr<client::ChildProcess> player_;
};

// Whether a "warning" said that voice processing is off (the recording is then the
// plain input).
bool warnedAboutVoiceProcessing(const RecorderProcess& recorder);

// "stop", then the "finished" event, exit status 0 and nothing on standard error.
void stopAndExpectCleanFinish(RecorderProcess& recorder);

}  // namespace talvora::testing
