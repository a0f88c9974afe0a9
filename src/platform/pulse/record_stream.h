#pragma once

#include <pulse/pulseaudio.h>

#include <cstdint>
#include <optional>
#include <string>

#include "platform/audio.h"
#include "platform/pulse/connection.h"
#include "platform/pulse/frame_assembler.h"
#include "platform/pulse/source_query.h"

namespace talvora::platform::pulse {

// A record stream on one source of a connection: float samples in the rate and layout
// asked for (the server converts from the source's own), gathered into planar blocks of
// whole buffers and handed to a sink on the loop thread. Several may run on one
// connection (each gathers on its own), and one can be closed and opened again, also
// after the connection made a new context.
//
// Threads and locks. Every method is called with the connection's loop lock held: from
// the main thread or the capture queue, or on the loop thread from inside a callback
// (there `beginOpenLocked`, `closeLocked` and `runningLocked`: `openLocked` waits for
// the server). The sink runs on the loop thread. The object must outlive any callback
// that is running, so it is destroyed with the loop lock held on another thread, or
// once the loop has stopped; an owner destroyed on the loop thread hands it to the
// reaper.
class RecordStream {
 public:
  class Sink {
   public:
    // Up to kMaxFrames frames, one array per channel, valid for the call. May close the
    // stream; nothing is delivered after that.
    virtual void deliver(const AudioBufferView& buffer) = 0;
    // Once per opening: the stream stopped for good while it ran (the source went away,
    // the server dropped it), or one begun with `beginOpenLocked` was refused; `reason`
    // is the server's.
    virtual void streamFailed(const char* reason) = 0;

   protected:
    ~Sink() = default;
  };

  // The largest block handed to the sink in one call: what the tap may receive at most.
  // Fragments that arrive faster than real time (a backlog handed over at once) are
  // merged up to this size, and a longer fragment is cut into pieces of it.
  static constexpr uint32_t kMaxFrames = kMaxTapFrames;

  // `streamName` is what the server shows for the stream; `what` names the source in
  // errors ("the microphone").
  RecordStream(Connection& connection, Sink& sink, const char* streamName, const char* what)
      : connection_(connection), sink_(sink), streamName_(streamName), what_(what) {}
  ~RecordStream() { closeLocked(); }

  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Connected, not running (close first). The stream asks for `format`'s rate and
  // layout and records from `device`, or with null from the source libpulse chooses for
  // a client that names none (PULSE_SOURCE, else the server's default, which the server
  // then keeps following); `format.name` names the source in errors. `bufferFrames` is
  // the block the sink wants: the server is asked for fragments of about that size, and
  // smaller ones are gathered until a whole block is there (0: every fragment is handed
  // on as it comes). `flags` add to the stream's own. Waits at most kServerTimeout for
  // the server to accept the stream.
  Status openLocked(const SourceInfo& format, const char* device, uint32_t bufferFrames,
                    pa_stream_flags_t flags = PA_STREAM_NOFLAGS);
  // The same without waiting: the stream runs once the server accepts it, and a refusal
  // comes to the sink's `streamFailed`.
  Status beginOpenLocked(const SourceInfo& format, const char* device, uint32_t bufferFrames,
                         pa_stream_flags_t flags = PA_STREAM_NOFLAGS);

  // Safe to repeat and when not open. From inside a sink call, the call under way is
  // the last.
  void closeLocked();

  // Open, accepted by the server and not failed since.
  bool runningLocked() const;

  // Hands on what has been read but not yet made a whole block, and says how many frames
  // that was: a stream that is going (its server or its source lost) read them from the
  // microphone, and they are the user's like any other. From a sink call too.
  uint32_t flushPendingLocked();

  Connection& connection() const { return connection_; }

  // How long ago the newest frame read was captured at the source, in microseconds (the
  // server's timing, interpolated between its updates); none before the first update or
  // when not running. Also on the loop thread; allocates nothing.
  std::optional<double> latencyUsecLocked() const;

 private:
  static void onState(pa_stream* stream, void* user);
  static void onRead(pa_stream* stream, size_t bytes, void* user);
  static void onHold(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user);
  Status fail(const SourceInfo& format, int error);
  void settle();
  void flush();
  void deliver(const float* const* channels, uint32_t frames);

  Connection& connection_;
  Sink& sink_;
  const char* const streamName_;
  const std::string what_;

  // Loop lock.
  pa_stream* stream_ = nullptr;
  bool running_ = false;
  // `openLocked` is waiting for the server's answer, which is its own to report.
  bool waiting_ = false;
  uint32_t bufferFrames_ = 0;
  // The block the sink wants, in microseconds.
  pa_usec_t bufferUsec_ = 0;
  std::optional<FrameAssembler> assembler_;
  pa_time_event* holdTimer_ = nullptr;
  bool holdArmed_ = false;
  // When the last block went to the sink, and how long it played.
  pa_usec_t lastFlushAt_ = 0;
  pa_usec_t lastFlushUsec_ = 0;
  uint32_t rate_ = 0;
};

}  // namespace talvora::platform::pulse
