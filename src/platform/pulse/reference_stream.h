#pragma once

#include <optional>

#include "platform/audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse/source_query.h"

namespace talvora::platform::pulse {

// What the speakers play, as the echo canceller's far end: a record stream on the
// monitor of the server's default sink, on the microphone's connection so that it
// delivers on the same loop thread, mono at the microphone's rate (the server converts),
// each delivery with the delay hint from the two streams' latencies. It never holds the
// microphone up: it opens after the microphone's stream, and its failure only ends the
// far end (the processor then cancels against silence, which leaves the voice alone).
// While the sink is idle or suspended the monitor sends nothing, and the stream does
// not keep the sink from suspending.
//
// Threads and locks as RecordStream: every method with the connection's loop lock held;
// the handler runs on the loop thread.
class ReferenceStream final : private RecordStream::Sink {
 public:
  ReferenceStream(Connection& connection, const RecordStream& microphone)
      : microphone_(microphone), stream_(connection, *this, "Echo cancellation reference", "the speakers") {}

  ReferenceStream(const ReferenceStream&) = delete;
  ReferenceStream& operator=(const ReferenceStream&) = delete;

  // Connected, not on the loop thread, before the microphone opens. Keeps `handler` for
  // the default sink's monitor, or returns false and drops it: no sink, or `microphone`
  // is that monitor itself (cancelling it would cancel the voice).
  bool installLocked(const SourceInfo& microphone, AudioInputNode::ReferenceTapHandler handler);

  // Once the microphone runs: not on the loop thread, waiting for the server's answer;
  // or on it, without waiting, on a connection made again after the server went away
  // (the monitor it had: a restarted server has the same sinks). Nothing without a
  // handler; a stream the server refuses is left out.
  void openLocked(bool waitForTheServer = true);

  void closeLocked() { stream_.closeLocked(); }

  // The handler goes, and the stream with it. On the loop thread (from inside a tap
  // handler) the deliveries are only switched off, since the handler may be running.
  void removeLocked(bool onLoopThread);

 private:
  // Loop thread.
  void deliver(const AudioBufferView& buffer) override;
  void streamFailed(const char*) override {}

  const RecordStream& microphone_;
  RecordStream stream_;
  // Loop lock.
  std::optional<SourceInfo> monitor_;
  AudioInputNode::ReferenceTapHandler handler_;
  bool on_ = false;
  double delayMs_ = 0;
};

}  // namespace talvora::platform::pulse
