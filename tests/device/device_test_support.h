#pragma once

// Small helpers shared by the device tests of the recorder binary.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/audio_signals.h"
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

// Whether a "warning" said that voice processing is off (the recording is then the
// plain input).
bool warnedAboutVoiceProcessing(const RecorderProcess& recorder);

// "stop", then the "finished" event, exit status 0 and nothing on standard error.
void stopAndExpectCleanFinish(RecorderProcess& recorder);

}  // namespace talvora::testing
