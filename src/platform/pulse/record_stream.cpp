#include "platform/pulse/record_stream.h"

#include <optional>
#include <utility>

namespace talvora::platform::pulse {
namespace {

// How long a partial block may wait for the fragments that complete it.
constexpr pa_usec_t kHoldUsec = 100 * PA_USEC_PER_MSEC;

}  // namespace

Status RecordStream::openLocked(const SourceInfo& format, const char* device, uint32_t bufferFrames,
                                pa_stream_flags_t flags) {
  if (Status failed = beginOpenLocked(format, device, bufferFrames, flags)) return failed;
  pa_stream* stream = stream_;
  waiting_ = true;
  const bool answered = connection_.waitLocked([stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; });
  waiting_ = false;
  if (runningLocked()) return std::nullopt;
  return fail(format, answered ? pa_context_errno(connection_.context()) : PA_ERR_TIMEOUT);
}

Status RecordStream::beginOpenLocked(const SourceInfo& format, const char* device, uint32_t bufferFrames,
                                     pa_stream_flags_t flags) {
  closeLocked();
  pa_context* context = connection_.context();
  // Float samples; the format's channel map keeps unusual layouts (aux channels) from
  // being mixed into silence, and lets the server remix by position when the source
  // has another layout.
  const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, format.spec.rate, format.spec.channels};
  const pa_channel_map* map =
      pa_channel_map_valid(&format.map) && format.map.channels == spec.channels ? &format.map : nullptr;
  assembler_.emplace(spec.channels, kMaxFrames);
  bufferFrames_ = bufferFrames;
  rate_ = spec.rate;
  bufferUsec_ = framesToUsec(bufferFrames, rate_);
  lastFlushAt_ = 0;

  pa_stream* stream = pa_stream_new(context, streamName_, &spec, map);
  if (!stream) return Error{describe(("Cannot record from " + what_).c_str(), pa_context_errno(context))};
  stream_ = stream;
  pa_stream_set_state_callback(stream, &RecordStream::onState, this);
  pa_stream_set_read_callback(stream, &RecordStream::onRead, this);
  holdTimer_ = connection_.newTimerLocked(&RecordStream::onHold, this);
  holdArmed_ = false;

  // fragsize asks the server to send about one block at a time; with ADJUST_LATENCY the
  // source's own latency follows, instead of the server's default of two seconds.
  pa_buffer_attr attributes;
  attributes.maxlength = static_cast<uint32_t>(-1);
  attributes.tlength = static_cast<uint32_t>(-1);
  attributes.prebuf = static_cast<uint32_t>(-1);
  attributes.minreq = static_cast<uint32_t>(-1);
  attributes.fragsize =
      bufferFrames > 0 ? static_cast<uint32_t>(bufferFrames * pa_frame_size(&spec)) : static_cast<uint32_t>(-1);
  // The timing flags keep the stream's latency readable without asking (the echo
  // canceller's delay hint).
  const auto all = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_INTERPOLATE_TIMING |
                                                  PA_STREAM_AUTO_TIMING_UPDATE | flags);
  if (pa_stream_connect_record(stream, device, &attributes, all) < 0) {
    return fail(format, pa_context_errno(context));
  }
  return std::nullopt;
}

Status RecordStream::fail(const SourceInfo& format, int error) {
  closeLocked();
  return Error{"Cannot record from " + what_ + " \"" + format.name + "\": " + pa_strerror(error)};
}

void RecordStream::closeLocked() {
  if (holdTimer_) {
    connection_.freeTimerLocked(holdTimer_);
    holdTimer_ = nullptr;
    holdArmed_ = false;
  }
  pa_stream* stream = std::exchange(stream_, nullptr);
  running_ = false;
  if (!stream) return;
  pa_stream_set_read_callback(stream, nullptr, nullptr);
  pa_stream_set_state_callback(stream, nullptr, nullptr);
  pa_stream_disconnect(stream);
  pa_stream_unref(stream);
}

bool RecordStream::runningLocked() const {
  return stream_ && running_ && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_));
}

std::optional<double> RecordStream::latencyUsecLocked() const {
  if (!runningLocked()) return std::nullopt;
  pa_usec_t usec = 0;
  int negative = 0;
  if (pa_stream_get_latency(stream_, &usec, &negative) < 0) return std::nullopt;
  return negative ? -static_cast<double>(usec) : static_cast<double>(usec);
}

// ---- Loop thread.

void RecordStream::onState(pa_stream* stream, void* user) {
  auto* self = static_cast<RecordStream*>(user);
  self->connection_.signal();
  if (stream != self->stream_) return;
  const pa_stream_state_t state = pa_stream_get_state(stream);
  if (state == PA_STREAM_READY) {
    self->running_ = true;
    return;
  }
  if (PA_STREAM_IS_GOOD(state)) return;
  // A refusal while openLocked waits is its to report.
  const bool report = self->running_ || !self->waiting_;
  self->running_ = false;
  if (report) self->sink_.streamFailed(pa_strerror(pa_context_errno(self->connection_.context())));
}

void RecordStream::onRead(pa_stream* stream, size_t, void* user) {
  auto* self = static_cast<RecordStream*>(user);
  // The sink may close the stream, which lets go of it: hold on to it until this
  // callback is done with it.
  pa_stream_ref(stream);
  auto deliver = [self](const float* const* channels, uint32_t frames) { self->deliver(channels, frames); };
  // Everything readable now is gathered into blocks of up to kMaxFrames before it is
  // handed on: after a stall the server sends a burst of fragments, and fewer, larger
  // deliveries keep the capture object's hand-over slots free.
  while (stream == self->stream_) {
    const void* data = nullptr;
    size_t bytes = 0;
    if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
    // data == nullptr with bytes > 0 is a hole: silence of that length.
    self->assembler_->append(data, bytes, deliver);
    if (stream != self->stream_) break;
    pa_stream_drop(stream);
  }
  if (stream == self->stream_) self->settle();
  pa_stream_unref(stream);
}

// Hands the gathered frames on once they make a whole block, unless they are arriving
// faster than they play. Sources that send small fragments (a monitor of a sink playing
// with low latency sends 12 ms at a time) would otherwise cost a hand-over slot each.
// And a backlog (a source that had audio waiting before we connected, a server catching
// up after a stall of the machine) comes as whole fragments in quick succession, one
// read callback each: handed on one by one they can take every slot before the capture
// queue gets the processor back, so they are merged up to kMaxFrames, and the rest goes
// once the fragments stop coming.
void RecordStream::settle() {
  const uint32_t pending = assembler_->pending();
  if (pending == 0) return;
  if (bufferFrames_ == 0) {
    flush();
    return;
  }
  if (pending < bufferFrames_) {
    if (!holdArmed_ && holdTimer_) {
      connection_.armTimerLocked(holdTimer_, kHoldUsec);
      holdArmed_ = true;
    }
    return;
  }
  // What came since the last block went out plays for longer than twice the time it
  // took to come: a backlog. A fragment that is merely late or early stays well inside.
  const pa_usec_t since = pa_rtclock_now() - lastFlushAt_;
  if (lastFlushAt_ != 0 && since * 2 < framesToUsec(pending, rate_) && holdTimer_) {
    // A quarter of a block without fragments ends the burst.
    connection_.armTimerLocked(holdTimer_, bufferUsec_ / 4);
    holdArmed_ = true;
    return;
  }
  flush();
}

void RecordStream::flush() {
  if (holdArmed_ && holdTimer_) {
    connection_.disarmTimerLocked(holdTimer_);
    holdArmed_ = false;
  }
  assembler_->flush([this](const float* const* channels, uint32_t frames) { deliver(channels, frames); });
}

uint32_t RecordStream::flushPendingLocked() {
  if (!stream_ || !assembler_) return 0;
  const uint32_t pending = assembler_->pending();
  if (pending > 0) flush();
  return pending;
}

void RecordStream::onHold(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
  auto* self = static_cast<RecordStream*>(user);
  self->holdArmed_ = false;
  if (self->stream_ && self->assembler_) self->flush();
}

void RecordStream::deliver(const float* const* channels, uint32_t frames) {
  if (!stream_) return;
  lastFlushAt_ = pa_rtclock_now();
  sink_.deliver(AudioBufferView{channels, assembler_->channelCount(), frames});
}

}  // namespace talvora::platform::pulse
