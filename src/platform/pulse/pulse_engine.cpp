// The audio engine on libpulse's threaded main loop.
//
// Threads. The main loop thread is the audio thread: it runs every libpulse callback
// with the main loop lock held, which is what makes the lock the one guard of the
// state below. The main thread and the capture queue enter through the engine's
// methods; they take `apiMutex` (which the loop thread never takes, so it cannot
// deadlock against the loop lock) and the loop lock around each change. A call on the
// loop thread itself (a stop from inside the tap handler or the interruption handler)
// already holds the loop lock and must never wait for the loop, so those paths only
// change flags and disconnect the stream.
#include "platform/pulse/pulse_engine.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/pulse/frame_assembler.h"
#include "platform/pulse/pulse_client.h"

namespace talvora::platform {
namespace {

using pulse::FrameAssembler;
using pulse::kServerTimeout;

// The largest block handed to the tap in one call; a longer fragment from the server is
// cut into pieces of this size. Four times the tap size the
// capture object asks for, so the normal delivery is one piece.
constexpr uint32_t kMaxFrames = 8192;
// How long a partial tap buffer may wait for the fragments that complete it.
constexpr pa_usec_t kHoldUsec = 100 * PA_USEC_PER_MSEC;

constexpr const char* kDefaultSource = "@DEFAULT_SOURCE@";

struct SourceInfo {
  std::string name;
  pa_sample_spec spec{};
  pa_channel_map map{};
};

bool usable(const pa_sample_spec& spec) {
  return spec.rate > 0 && spec.channels > 0 && spec.channels <= PA_CHANNELS_MAX;
}

std::string describe(const char* what, int error) { return std::string(what) + ": " + pa_strerror(error); }

class LoopLock {
 public:
  explicit LoopLock(pa_threaded_mainloop* loop) : loop_(loop) {
    if (loop_) pa_threaded_mainloop_lock(loop_);
  }
  ~LoopLock() {
    if (loop_) pa_threaded_mainloop_unlock(loop_);
  }
  LoopLock(const LoopLock&) = delete;
  LoopLock& operator=(const LoopLock&) = delete;

 private:
  pa_threaded_mainloop* loop_;
};

// Everything the loop thread touches. Shared so that an engine destroyed on the loop
// thread can hand it to a thread that stops the loop once the current callback returns.
class Core {
 public:
  Core() = default;
  ~Core() { teardown(); }

  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // ---- Entry points (main thread, capture queue; the ones noted also the loop thread).

  Result<AudioFormat> inputFormat() {
    if (inLoop()) return Error{"the microphone's format cannot be read from the audio thread"};
    std::lock_guard api(apiMutex_);
    if (Status failed = connectLocked()) return *failed;
    LoopLock lock(loop_);
    if (Status failed = readSourceLocked()) return *failed;
    return formatOf(*source_);
  }

  void installTap(uint32_t frames, AudioInputNode::TapHandler handler) {
    AudioInputNode::TapHandler retired;
    {
      std::unique_lock api(apiMutex_, std::defer_lock);
      if (!inLoop()) api.lock();
      LoopLock lock(loop_);
      retired = std::exchange(tap_, std::move(handler));
      requestedFrames_ = frames;
      tapOn_ = static_cast<bool>(tap_);
    }
  }

  // Also on the loop thread: the handler being run is left in place (it is still on
  // the stack) and only switched off.
  void removeTap() {
    if (inLoop()) {
      tapOn_ = false;
      return;
    }
    AudioInputNode::TapHandler retired;
    std::lock_guard api(apiMutex_);
    LoopLock lock(loop_);
    tapOn_ = false;
    retired = std::move(tap_);
    tap_ = nullptr;
  }

  void setInterruptionHandler(AudioInputNode::InterruptionHandler handler) {
    if (inLoop()) return;  // It may be the one running; changing it there is not supported.
    AudioInputNode::InterruptionHandler retired;
    std::lock_guard api(apiMutex_);
    LoopLock lock(loop_);
    retired = std::exchange(interruption_, std::move(handler));
  }

  Status start() {
    if (inLoop()) return Error{"the microphone cannot be started from the audio thread"};
    std::lock_guard api(apiMutex_);
    if (Status failed = connectLocked()) return failed;
    LoopLock lock(loop_);
    if (stream_ && running_ && PA_STREAM_IS_GOOD(pa_stream_get_state(stream_))) return std::nullopt;
    dropStreamLocked();  // One that failed since (the server went away) is replaced.
    if (Status failed = readSourceLocked()) return failed;
    const SourceInfo& source = *source_;

    // Float samples at the source's own rate and layout, so the server neither
    // resamples nor remixes; the source's channel map keeps unusual layouts (aux
    // channels) from being mixed into silence.
    const pa_sample_spec spec{PA_SAMPLE_FLOAT32NE, source.spec.rate, source.spec.channels};
    const pa_channel_map* map =
        pa_channel_map_valid(&source.map) && source.map.channels == spec.channels ? &source.map : nullptr;
    assembler_.emplace(spec.channels, kMaxFrames);
    interrupted_ = false;
    running_ = false;

    pa_stream* stream = pa_stream_new(context_, "Voice note", &spec, map);
    if (!stream) return Error{describe("Cannot record from the microphone", pa_context_errno(context_))};
    stream_ = stream;
    pa_stream_set_state_callback(stream, &Core::onStreamState, this);
    pa_stream_set_read_callback(stream, &Core::onRead, this);
    holdTimer_ = pa_context_rttime_new(context_, PA_USEC_INVALID, &Core::onHold, this);
    holdArmed_ = false;

    // fragsize asks the server to send about one tap buffer at a time; with
    // ADJUST_LATENCY the source's own latency follows, instead of the server's default
    // of two seconds.
    pa_buffer_attr attributes;
    attributes.maxlength = static_cast<uint32_t>(-1);
    attributes.tlength = static_cast<uint32_t>(-1);
    attributes.prebuf = static_cast<uint32_t>(-1);
    attributes.minreq = static_cast<uint32_t>(-1);
    attributes.fragsize = requestedFrames_ > 0 ? static_cast<uint32_t>(requestedFrames_ * pa_frame_size(&spec))
                                               : static_cast<uint32_t>(-1);
    int error = 0;
    if (pa_stream_connect_record(stream, source.name.c_str(), &attributes, PA_STREAM_ADJUST_LATENCY) < 0) {
      error = pa_context_errno(context_);
    } else {
      const bool answered = waitLocked([stream] { return pa_stream_get_state(stream) != PA_STREAM_CREATING; });
      if (pa_stream_get_state(stream) == PA_STREAM_READY) {
        running_ = true;
        return std::nullopt;
      }
      error = answered ? pa_context_errno(context_) : PA_ERR_TIMEOUT;
    }
    dropStreamLocked();
    return Error{"Cannot record from the microphone \"" + source.name + "\": " + pa_strerror(error)};
  }

  // Also on the loop thread.
  void stop() {
    if (inLoop()) {
      dropStreamLocked();
      return;
    }
    std::lock_guard api(apiMutex_);
    if (!loop_) return;
    LoopLock lock(loop_);
    dropStreamLocked();
  }

  // What the engine's destructor does. On the loop thread the loop cannot stop itself:
  // the stream goes now, and a thread of its own stops the loop once the callback that
  // got us here returns, keeping the core alive until then.
  static void shutdown(std::shared_ptr<Core> core) {
    if (!core || !core->inLoop()) return;  // Otherwise the last reference tears down.
    core->tapOn_ = false;
    core->dropStreamLocked();
    auto finish = [core] { core->teardown(); };
    try {
      std::thread(finish).detach();
    } catch (const std::system_error&) {
      // No thread to be had: keep the core (and its loop) rather than deadlock.
      new std::shared_ptr<Core>(core);
    }
  }

 private:
  bool inLoop() const { return loop_ && pa_threaded_mainloop_in_thread(loop_); }

  static AudioFormat formatOf(const SourceInfo& source) {
    return {static_cast<double>(source.spec.rate), source.spec.channels};
  }

  // Starts the loop and connects, unless connected. apiMutex held, loop lock not held.
  Status connectLocked() {
    if (timedOut_) return timedOut_;
    if (!loop_) {
      pulse::quietLibraryLog();
      pa_threaded_mainloop* loop = pa_threaded_mainloop_new();
      if (!loop) return Error{"Cannot connect to the sound server: out of memory"};
      pa_threaded_mainloop_set_name(loop, "talvora.pulse");
      if (pa_threaded_mainloop_start(loop) < 0) {
        pa_threaded_mainloop_free(loop);
        return Error{"Cannot connect to the sound server: no thread for its main loop"};
      }
      loop_ = loop;  // Before any callback can run: they only come once a context exists.
    }
    LoopLock lock(loop_);
    if (context_ && pa_context_get_state(context_) == PA_CONTEXT_READY) return std::nullopt;
    // A context that failed (the server went away between two recordings) is replaced.
    dropContextLocked();
    context_ = pulse::newContext(pa_threaded_mainloop_get_api(loop_));
    if (!context_) return Error{"Cannot connect to the sound server: out of memory"};
    pa_context_set_state_callback(context_, &Core::onContextState, this);
    int error = 0;
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
      error = pa_context_errno(context_);
    } else {
      pa_context* context = context_;
      const bool answered = waitLocked([context] {
        const pa_context_state_t state = pa_context_get_state(context);
        return state == PA_CONTEXT_READY || !PA_CONTEXT_IS_GOOD(state);
      });
      if (pa_context_get_state(context_) == PA_CONTEXT_READY) return std::nullopt;
      error = answered ? pa_context_errno(context_) : PA_ERR_TIMEOUT;
    }
    dropContextLocked();
    Error failure{describe("Cannot connect to the sound server", error)};
    // A server that does not answer would cost the same wait on every later call.
    if (error == PA_ERR_TIMEOUT) timedOut_ = failure;
    return failure;
  }

  struct SourceQuery {
    pa_threaded_mainloop* loop = nullptr;
    std::optional<SourceInfo> info;
    int error = 0;
    bool done = false;
  };

  static void onSourceInfo(pa_context* context, const pa_source_info* info, int eol, void* user) {
    auto* query = static_cast<SourceQuery*>(user);
    if (eol < 0) {
      query->error = pa_context_errno(context);
      query->done = true;
    } else if (eol > 0) {
      query->done = true;
    } else if (info && !query->info) {
      query->info = SourceInfo{info->name ? info->name : "", info->sample_spec, info->channel_map};
    }
    pa_threaded_mainloop_signal(query->loop, 0);
  }

  // Reads the default source's name and native format, once per engine: the format the
  // tap was promised must be the one the stream gets. Both locks held, connected.
  Status readSourceLocked() {
    if (source_) return std::nullopt;
    SourceQuery query;
    query.loop = loop_;
    pa_operation* operation = pa_context_get_source_info_by_name(context_, kDefaultSource, &Core::onSourceInfo, &query);
    if (!operation) return Error{describe("Cannot ask the sound server for its microphone", pa_context_errno(context_))};
    pa_context* context = context_;
    const bool answered = waitLocked([&query, context] {
      return query.done || !PA_CONTEXT_IS_GOOD(pa_context_get_state(context));
    });
    if (!query.done) pa_operation_cancel(operation);
    pa_operation_unref(operation);
    if (!answered) return Error{describe("Cannot ask the sound server for its microphone", PA_ERR_TIMEOUT)};
    if (!query.done) return Error{describe("Cannot ask the sound server for its microphone", pa_context_errno(context_))};
    if (!query.info || query.error != 0) {
      return Error{describe("The sound server has no default microphone", query.error != 0 ? query.error : PA_ERR_NOENTITY)};
    }
    if (!usable(query.info->spec)) return Error{"The default microphone reports no sample rate"};
    source_ = std::move(query.info);
    return std::nullopt;
  }

  struct Deadline {
    pa_threaded_mainloop* loop = nullptr;
    bool expired = false;
  };

  static void onDeadline(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
    auto* deadline = static_cast<Deadline*>(user);
    deadline->expired = true;
    pa_threaded_mainloop_signal(deadline->loop, 0);
  }

  // Waits (loop lock held, never on the loop thread) until `done` or the server
  // timeout; every callback of ours signals the loop. True when `done`.
  template <class Done>
  bool waitLocked(Done done) {
    Deadline deadline{loop_};
    pa_mainloop_api* api = pa_threaded_mainloop_get_api(loop_);
    pa_time_event* timer = pa_context_rttime_new(context_, pa_rtclock_now() + kServerTimeout, &Core::onDeadline, &deadline);
    while (!done() && !deadline.expired) pa_threaded_mainloop_wait(loop_);
    if (timer) api->time_free(timer);
    return done();
  }

  // Loop lock held (or on the loop thread).
  void dropStreamLocked() {
    if (holdTimer_) {
      pa_threaded_mainloop_get_api(loop_)->time_free(holdTimer_);
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

  void dropContextLocked() {
    dropStreamLocked();
    pa_context* context = std::exchange(context_, nullptr);
    if (!context) return;
    pa_context_set_state_callback(context, nullptr, nullptr);
    pa_context_disconnect(context);
    pa_context_unref(context);
  }

  // Stops the loop thread and frees everything libpulse holds. Never on the loop thread.
  void teardown() {
    std::lock_guard api(apiMutex_);
    if (!loop_) return;
    {
      LoopLock lock(loop_);
      dropContextLocked();
    }
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
  }

  // ---- Loop thread.

  void reportInterruption(const char* description) {
    if (interrupted_) return;
    interrupted_ = true;
    if (interruption_) interruption_(description);
  }

  static void onContextState(pa_context* context, void* user) {
    auto* core = static_cast<Core*>(user);
    pa_threaded_mainloop_signal(core->loop_, 0);
    if (context == core->context_ && core->running_ && !PA_CONTEXT_IS_GOOD(pa_context_get_state(context))) {
      core->reportInterruption(pa_strerror(pa_context_errno(context)));
    }
  }

  static void onStreamState(pa_stream* stream, void* user) {
    auto* core = static_cast<Core*>(user);
    pa_threaded_mainloop_signal(core->loop_, 0);
    if (stream == core->stream_ && core->running_ && !PA_STREAM_IS_GOOD(pa_stream_get_state(stream))) {
      core->reportInterruption(pa_strerror(pa_context_errno(core->context_)));
    }
  }

  static void onRead(pa_stream* stream, size_t, void* user) {
    auto* core = static_cast<Core*>(user);
    // A handler may stop the engine, which lets go of the stream: hold on to it until
    // this callback is done with it.
    pa_stream_ref(stream);
    auto deliver = [core](const float* const* channels, uint32_t frames) { core->deliver(channels, frames); };
    // Everything readable now is gathered into blocks of up to kMaxFrames before it is
    // handed on: after a stall the server sends a burst of fragments, and fewer, larger
    // deliveries keep the capture object's hand-over slots free. What is left goes out
    // at the end, so nothing waits for the next callback.
    while (stream == core->stream_) {
      const void* data = nullptr;
      size_t bytes = 0;
      if (pa_stream_peek(stream, &data, &bytes) < 0 || bytes == 0) break;
      // data == nullptr with bytes > 0 is a hole: silence of that length.
      core->assembler_->append(data, bytes, deliver);
      if (stream != core->stream_) break;
      pa_stream_drop(stream);
    }
    if (stream == core->stream_) core->settleLocked();
    pa_stream_unref(stream);
  }

  // Loop thread. Hands the gathered frames on once they make a whole tap buffer; a
  // remainder waits for the next fragments, or at most kHoldUsec. Sources that send small
  // fragments (a monitor of a sink playing with low latency sends 12 ms at a time) would
  // otherwise cost a hand-over slot each, and after a stall of the machine their backlog
  // arrives as a burst of tiny deliveries that can fill every slot before the capture
  // queue gets the processor back.
  void settleLocked() {
    const uint32_t pending = assembler_->pending();
    if (pending == 0) return;
    if (requestedFrames_ == 0 || pending >= requestedFrames_) {
      flushLocked();
      return;
    }
    if (!holdArmed_ && holdTimer_) {
      pa_context_rttime_restart(context_, holdTimer_, pa_rtclock_now() + kHoldUsec);
      holdArmed_ = true;
    }
  }

  void flushLocked() {
    if (holdArmed_ && holdTimer_) {
      pa_threaded_mainloop_get_api(loop_)->time_restart(holdTimer_, nullptr);
      holdArmed_ = false;
    }
    auto deliver = [this](const float* const* channels, uint32_t frames) { this->deliver(channels, frames); };
    assembler_->flush(deliver);
  }

  static void onHold(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
    auto* core = static_cast<Core*>(user);
    core->holdArmed_ = false;
    if (core->stream_ && core->assembler_) core->flushLocked();
  }

  void deliver(const float* const* channels, uint32_t frames) {
    if (!tapOn_ || !tap_ || !stream_) return;
    tap_(AudioBufferView{channels, assembler_->channelCount(), frames});
  }

  std::mutex apiMutex_;

  // Set under apiMutex before the loop thread exists, cleared after it has stopped;
  // atomic because inLoop() reads it before deciding whether to take apiMutex.
  std::atomic<pa_threaded_mainloop*> loop_{nullptr};
  std::optional<Error> timedOut_;

  // Loop lock.
  pa_context* context_ = nullptr;
  pa_stream* stream_ = nullptr;
  bool running_ = false;
  bool interrupted_ = false;
  std::optional<SourceInfo> source_;
  std::optional<FrameAssembler> assembler_;
  AudioInputNode::TapHandler tap_;
  uint32_t requestedFrames_ = 0;
  bool tapOn_ = false;
  pa_time_event* holdTimer_ = nullptr;
  bool holdArmed_ = false;
  AudioInputNode::InterruptionHandler interruption_;
};

class PulseInputNode final : public AudioInputNode {
 public:
  explicit PulseInputNode(Core& core) : core_(core) {}

  Result<AudioFormat> inputFormat() override { return core_.inputFormat(); }
  void installTap(uint32_t bufferSize, TapHandler handler) override { core_.installTap(bufferSize, std::move(handler)); }
  void removeTap() override { core_.removeTap(); }
  void setInterruptionHandler(InterruptionHandler handler) override {
    core_.setInterruptionHandler(std::move(handler));
  }

 private:
  Core& core_;
};

class PulseEngine final : public AudioEngine {
 public:
  PulseEngine() : core_(std::make_shared<Core>()), node_(*core_) {}
  ~PulseEngine() override { Core::shutdown(std::move(core_)); }

  AudioInputNode& inputNode() override { return node_; }
  Status start() override { return core_->start(); }
  void stop() override { core_->stop(); }

 private:
  std::shared_ptr<Core> core_;
  PulseInputNode node_;
};

}  // namespace

std::unique_ptr<AudioEngine> makePulseEngine() {
  pulse::quietLibraryLog();
  return std::make_unique<PulseEngine>();
}

}  // namespace talvora::platform
