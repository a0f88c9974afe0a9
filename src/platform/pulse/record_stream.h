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

// A record stream on one source of a connection: float samples at the source's own
// rate and layout, gathered into planar blocks of whole buffers and handed to a sink on
// the loop thread. Several may run on one connection (each gathers on its own), and one
// can be closed and opened again, also after the connection made a new context.
//
// Threads and locks. Every method is called with the connection's loop lock held: from
// the main thread or the capture queue, or on the loop thread from inside a callback
// (only `closeLocked` and `runningLocked` there: opening waits for the server). The
// sink runs on the loop thread. The object must outlive any callback that is running,
// so it is destroyed with the loop lock held on another thread, or once the loop has
// stopped; an owner destroyed on the loop thread hands it to the reaper.
class RecordStream {
 public:
  class Sink {
   public:
    // Up to kMaxFrames frames, one array per channel, valid for the call. May close the
    // stream; nothing is delivered after that.
    virtual void deliver(const AudioBufferView& buffer) = 0;
    // Once per opening: the stream stopped for good while it ran (the source went away,
    // the server dropped it); `reason` is the server's.
    virtual void streamFailed(const char* reason) = 0;

   protected:
    ~Sink() = default;
  };

  // The largest block handed to the sink in one call; a longer fragment from the server
  // is cut into pieces of this size. Four times the buffer the capture object asks for,
  // so the normal delivery is one piece.
  static constexpr uint32_t kMaxFrames = 8192;

  // `streamName` is what the server shows for the stream; `what` names the source in
  // errors ("the microphone").
  RecordStream(Connection& connection, Sink& sink, const char* streamName, const char* what)
      : connection_(connection), sink_(sink), streamName_(streamName), what_(what) {}
  ~RecordStream() { closeLocked(); }

  RecordStream(const RecordStream&) = delete;
  RecordStream& operator=(const RecordStream&) = delete;

  // Connected, not running (close first). `bufferFrames` is the block the sink wants:
  // the server is asked for fragments of about that size, and smaller ones are gathered
  // until a whole block is there (0: every fragment is handed on as it comes). Waits at
  // most kServerTimeout for the server to accept the stream. The stream takes the
  // source's spec and map as given (a spec other than the source's own has the server
  // convert); `flags` add to the stream's own.
  Status openLocked(const SourceInfo& source, uint32_t bufferFrames, pa_stream_flags_t flags = PA_STREAM_NOFLAGS);

  // Safe to repeat and when not open. From inside a sink call, the call under way is
  // the last.
  void closeLocked();

  // Open, accepted by the server and not failed since.
  bool runningLocked() const;

  Connection& connection() const { return connection_; }

  // How long ago the newest frame read was captured at the source, in microseconds (the
  // server's timing, interpolated between its updates); none before the first update or
  // when not running. Also on the loop thread; allocates nothing.
  std::optional<double> latencyUsecLocked() const;

 private:
  static void onState(pa_stream* stream, void* user);
  static void onRead(pa_stream* stream, size_t bytes, void* user);
  static void onHold(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user);
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
  uint32_t bufferFrames_ = 0;
  std::optional<FrameAssembler> assembler_;
  pa_time_event* holdTimer_ = nullptr;
  bool holdArmed_ = false;
};

}  // namespace talvora::platform::pulse
