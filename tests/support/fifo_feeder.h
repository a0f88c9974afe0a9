#pragma once

// Feeds audio into a PulseServer's virtual microphone. PulseAudio's module-pipe-source
// produces audio only when something writes to its FIFO, so what the recorder gets is
// exactly what was written: paced to the sample clock for recordings that should look
// live, or as fast as the server reads for tests of the audio path itself. PipeWire's runs
// on the graph clock, which paces the feed itself; the recorder then hears silence before
// the feed starts and after it ends, never inside it.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "support/audio_signals.h"
#include "support/pulse_server.h"

namespace talvora::testing {

class FifoFeeder {
 public:
  enum class Pace { realTime, asFastAsPossible };

  explicit FifoFeeder(const PulseServer& server);
  // Waits for the writing thread.
  ~FifoFeeder();

  FifoFeeder(const FifoFeeder&) = delete;
  FifoFeeder& operator=(const FifoFeeder&) = delete;

  // Starts writing `audio` (in the server's channel count; converted to the FIFO's
  // sample format) on a thread of its own. One feed at a time.
  void feed(const Audio& audio, Pace pace);
  // Until everything is written into the FIFO (or the feed was cancelled); throws when
  // a write failed.
  void finish();
  // Until everything is written and the server has read it all (the FIFO is empty).
  // False on timeout. The server reads only while something records from the source.
  bool waitUntilDrained(std::chrono::milliseconds timeout);

  uint64_t framesWritten() const { return framesWritten_.load(); }
  // Written and not yet read by the server.
  uint64_t framesQueued() const;
  // Stops a feed early (at a frame boundary).
  void cancel();

 private:
  void run(std::vector<char> bytes, Pace pace);

  const PulseServer& server_;
  int fd_ = -1;
  std::thread writer_;
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> writing_{false};
  std::atomic<uint64_t> framesWritten_{0};
  std::string failure_;
};

// What a file must hold of a feed of `fedFrames` (on top of `fileFramesBefore`): exactly
// that on a microphone that waits for the feeder; at least that on one on its own clock,
// which adds the silence it heard while nothing was fed.
void expectFileHoldsTheFeed(const PulseServer& server, int64_t fileFrames, int64_t fedFrames,
                            int64_t fileFramesBefore = 0);

}  // namespace talvora::testing
