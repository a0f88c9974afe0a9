// The audio engine: the input node is a record stream on the source the sound system
// chooses, on a connection of its own, reconnected when the server goes away.
//
// Threads. The connection's loop thread is the audio thread: it runs every libpulse
// callback with the loop lock held, which is what makes the loop lock the one guard of
// the state below. The main thread and the capture queue enter through the engine's
// methods; they take `apiMutex` (which the loop thread never takes, so it cannot
// deadlock against the loop lock) and the loop lock around each change. A call on the
// loop thread itself (a stop from inside the tap handler or the interruption handler)
// already holds the loop lock and must never wait for the loop, so those paths only
// change flags and close the stream. Reconnecting runs entirely on the loop thread,
// from its timer and libpulse's answers, so nothing else ever waits for it.
#include "platform/pulse/pulse_engine.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/pulse/connection.h"
#include "platform/pulse/reaper.h"
#include "platform/pulse/record_stream.h"
#include "platform/pulse/reference_stream.h"
#include "platform/pulse/source_query.h"

namespace talvora::platform {
namespace {

using pulse::Connection;

// While the server is away: how often silence is delivered and a connection tried.
constexpr pa_usec_t kAwayTickUsec = 100 * PA_USEC_PER_MSEC;

// What the tap gets while the server is away: every channel points here.
float silence[kMaxTapFrames];

class Core final : private pulse::RecordStream::Sink {
 public:
  explicit Core(std::chrono::milliseconds reconnectWindow)
      : reconnectWindow_(static_cast<pa_usec_t>(reconnectWindow.count()) * PA_USEC_PER_MSEC) {
    std::fill(std::begin(silentChannels_), std::end(silentChannels_), silence);
    connection_.setLostHandler([this](int error) { serverLost(pa_strerror(error)); });
  }
  // Never on the loop thread (see shutdown). The lost handler and a reconnection under
  // way go with the stream: the members they use are gone before the connection stops
  // its loop.
  ~Core() {
    std::lock_guard api(apiMutex_);
    Connection::Lock lock(connection_);
    stopReconnecting();
    if (awayTimer_) connection_.freeTimerLocked(awayTimer_);
    reference_.closeLocked();
    microphone_.closeLocked();
    connection_.disconnectLocked();
    connection_.setLostHandler(nullptr);
  }

  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // ---- Entry points (main thread, capture queue; the ones noted also the loop thread).

  Result<AudioFormat> inputFormat() {
    if (inLoop()) return Error{"the microphone's format cannot be read from the audio thread"};
    std::lock_guard api(apiMutex_);
    if (Status failed = connect()) return *failed;
    Connection::Lock lock(connection_);
    if (Status failed = readFormatLocked()) return *failed;
    return AudioFormat{static_cast<double>(format_->spec.rate), format_->spec.channels};
  }

  // Also on the loop thread.
  void installTap(uint32_t frames, AudioInputNode::TapHandler handler) {
    AudioInputNode::TapHandler retired;
    std::unique_lock api(apiMutex_, std::defer_lock);
    if (!inLoop()) api.lock();
    Connection::Lock lock(connection_);
    retired = std::exchange(tap_, std::move(handler));
    requestedFrames_ = frames;
    tapOn_ = static_cast<bool>(tap_);
  }

  // Also on the loop thread: the handler being run is left in place (it is still on
  // the stack) and only switched off.
  void removeTap() {
    if (inLoop()) {
      tapOn_ = false;
      reference_.removeLocked(true);
      return;
    }
    AudioInputNode::TapHandler retired;
    std::lock_guard api(apiMutex_);
    Connection::Lock lock(connection_);
    reference_.removeLocked(false);
    tapOn_ = false;
    retired = std::move(tap_);
    tap_ = nullptr;
  }

  void setInterruptionHandler(AudioInputNode::InterruptionHandler handler) {
    if (inLoop()) return;  // It may be the one running; changing it there is not supported.
    AudioInputNode::InterruptionHandler retired;
    std::lock_guard api(apiMutex_);
    Connection::Lock lock(connection_);
    retired = std::exchange(interruption_, std::move(handler));
  }

  // The echo canceller's far end (see pulse::ReferenceStream); before the start.
  bool installReferenceTap(AudioInputNode::ReferenceTapHandler handler) {
    if (inLoop()) return false;
    std::lock_guard api(apiMutex_);
    if (connect()) return false;
    Connection::Lock lock(connection_);
    return !readFormatLocked() && reference_.installLocked(*format_, std::move(handler));
  }

  Status start() {
    if (inLoop()) return Error{"the microphone cannot be started from the audio thread"};
    std::lock_guard api(apiMutex_);
    if (Status failed = connect()) return failed;
    Connection::Lock lock(connection_);
    if (microphone_.runningLocked()) return std::nullopt;
    stopReconnecting();
    microphone_.closeLocked();  // One that failed since (the source went away) is replaced.
    if (Status failed = readFormatLocked()) return failed;
    if (!awayTimer_) awayTimer_ = connection_.newTimerLocked(&Core::onAwayTick, this);
    interrupted_ = false;
    lastDeliveryAt_ = 0;
    if (Status failed = microphone_.openLocked(*format_, nullptr, requestedFrames_)) return failed;
    reference_.openLocked();
    return std::nullopt;
  }

  // Also on the loop thread.
  void stop() {
    std::unique_lock api(apiMutex_, std::defer_lock);
    if (!inLoop()) api.lock();
    Connection::Lock lock(connection_);
    stopReconnecting();
    reference_.closeLocked();
    microphone_.closeLocked();
  }

  // What the engine's destructor does. On the loop thread the loop cannot stop itself:
  // the stream goes now, and the reaper destroys the core (stopping the loop) once the
  // callback that got us here has returned and let go of the loop lock.
  static void shutdown(std::unique_ptr<Core> core) {
    if (!core || !core->inLoop()) return;  // Otherwise `core` goes here and now.
    core->tapOn_ = false;
    core->stopReconnecting();
    core->reference_.closeLocked();
    core->microphone_.closeLocked();
    // The job holds the only reference: one left here as well could be the last to go
    // (the reaper may run the job before this function returns), destroying the core,
    // and stopping the loop, on the loop's own thread.
    pulse::Reaper::instance().later([owned = std::shared_ptr<Core>(std::move(core))]() mutable { owned.reset(); });
  }

 private:
  bool inLoop() const { return connection_.inLoopThread(); }

  // apiMutex held, loop lock not held. A stream on a context that failed goes before
  // the connection replaces that context.
  Status connect() {
    {
      Connection::Lock lock(connection_);
      if (!connection_.connectedLocked()) {
        stopReconnecting();
        reference_.closeLocked();
        microphone_.closeLocked();
      }
    }
    return connection_.connect();
  }

  // Reads the format of the source the stream will get, once per engine: the format
  // the tap was promised is the one every stream asks for from then on, whatever
  // source it records from later (the server converts). The source is the one libpulse
  // records from when a client names none: PULSE_SOURCE, else the server's default.
  // Both locks held, connected.
  Status readFormatLocked() {
    if (format_) return std::nullopt;
    const char* chosen = std::getenv("PULSE_SOURCE");
    Result<pulse::SourceInfo> source = pulse::querySource(connection_, chosen && *chosen ? chosen : nullptr);
    if (!source) return source.error();
    format_ = source.take();
    return std::nullopt;
  }

  // ---- Loop thread.

  void reportInterruption(const char* description) {
    if (interrupted_) return;
    interrupted_ = true;
    if (interruption_) interruption_(description);
  }

  void toTap(const AudioBufferView& buffer) {
    if (tapOn_ && tap_) tap_(buffer);
  }

  void deliver(const AudioBufferView& buffer) override {
    const pa_usec_t now = pa_rtclock_now();
    if (away_) {
      // Back: the silence runs up to where the first block of the new stream begins.
      deliverSilenceUntil(now - framesToUsec(buffer.frameLength));
      stopReconnecting();
    }
    lastDeliveryAt_ = now;
    toTap(buffer);
  }

  void streamFailed(const char* reason) override {
    if (away_) {
      // The old stream going with its context, or a new one refused: the next tick
      // tries again.
      attemptPending_ = false;
      return;
    }
    microphone_.flushPendingLocked();
    reportInterruption(reason);
  }

  void serverLost(const char* reason) {
    if (away_) {
      attemptPending_ = false;  // The server that came back went away again.
      return;
    }
    if (!microphone_.runningLocked() || !awayTimer_) return;
    // Away from the end of the last block that arrived (what the server held then is
    // lost with it), or at most one block before now; then the frames read since, short
    // of a block, which go to the tap first.
    const pa_usec_t now = pa_rtclock_now();
    const pa_usec_t block = framesToUsec(requestedFrames_);
    const pa_usec_t since = std::max(lastDeliveryAt_, now > block ? now - block : 0);
    const uint32_t held = microphone_.flushPendingLocked();
    if (!microphone_.runningLocked()) return;  // Stopped from inside the tap.
    away_ = true;
    awayReason_ = reason;
    awaySince_ = since + framesToUsec(held);
    silentFrames_ = 0;
    attemptPending_ = false;
    // The first attempt is made from the timer, not from inside the lost context's own
    // callback, which must not replace that context.
    connection_.armTimerLocked(awayTimer_, 0);
  }

  static void onAwayTick(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* user) {
    static_cast<Core*>(user)->awayTick();
  }

  // Delivers the silence due (held back by one block, which the first block of a new
  // stream may still cover), gives up once the window has passed without a running
  // stream, and otherwise starts a new attempt when none is under way.
  void awayTick() {
    if (!away_) return;
    const pa_usec_t now = pa_rtclock_now();
    deliverSilenceUntil(now - framesToUsec(requestedFrames_));
    if (!away_) return;  // Stopped from inside the tap.
    if (!microphone_.runningLocked()) {
      if (now - awaySince_ >= reconnectWindow_) {
        giveUp();
        return;
      }
      if (!attemptPending_) attempt();
    }
    connection_.armTimerLocked(awayTimer_, kAwayTickUsec);
  }

  // A new context, then (once it is connected) a stream on the source libpulse
  // chooses, asking for the format the tap was promised.
  void attempt() {
    attemptPending_ = true;
    reference_.closeLocked();
    microphone_.closeLocked();
    Status failed = connection_.beginConnectLocked([this](int error) {
      if (!away_) return;
      if (error != 0 || microphone_.beginOpenLocked(*format_, nullptr, requestedFrames_)) {
        attemptPending_ = false;
        return;
      }
      reference_.openLocked(/*waitForTheServer=*/false);
    });
    if (failed) attemptPending_ = false;
  }

  void giveUp() {
    const char* reason = awayReason_;
    stopReconnecting();
    reference_.closeLocked();
    microphone_.closeLocked();
    connection_.disconnectLocked();
    reportInterruption(reason);
  }

  void stopReconnecting() {
    away_ = false;
    attemptPending_ = false;
    if (awayTimer_) connection_.disarmTimerLocked(awayTimer_);
  }

  // Silence for the time from awaySince_ to `until`, in blocks the tap can take.
  void deliverSilenceUntil(pa_usec_t until) {
    if (until <= awaySince_ || !format_) return;
    const uint64_t due = (until - awaySince_) * format_->spec.rate / PA_USEC_PER_SEC;
    while (away_ && silentFrames_ < due) {
      const auto frames = static_cast<uint32_t>(std::min<uint64_t>(due - silentFrames_, kMaxTapFrames));
      silentFrames_ += frames;
      toTap(AudioBufferView{silentChannels_, format_->spec.channels, frames});
    }
  }

  pa_usec_t framesToUsec(uint32_t frames) const { return format_ ? pulse::framesToUsec(frames, format_->spec.rate) : 0; }

  const pa_usec_t reconnectWindow_;
  const float* silentChannels_[PA_CHANNELS_MAX];
  std::mutex apiMutex_;
  Connection connection_;

  // Loop lock.
  pulse::RecordStream microphone_{connection_, *this, "Voice note", "the microphone"};
  pulse::ReferenceStream reference_{connection_, microphone_};
  bool interrupted_ = false;
  std::optional<pulse::SourceInfo> format_;
  AudioInputNode::TapHandler tap_;
  uint32_t requestedFrames_ = 0;
  bool tapOn_ = false;
  AudioInputNode::InterruptionHandler interruption_;
  pa_usec_t lastDeliveryAt_ = 0;
  // The server is away: since when (on the loop's clock), why, how much silence has
  // been delivered, and whether a new connection is being made.
  pa_time_event* awayTimer_ = nullptr;
  bool away_ = false;
  const char* awayReason_ = "";
  pa_usec_t awaySince_ = 0;
  uint64_t silentFrames_ = 0;
  bool attemptPending_ = false;
};

class PulseInputNode final : public AudioInputNode {
 public:
  explicit PulseInputNode(Core& core) : core_(core) {}

  Result<AudioFormat> inputFormat() override { return core_.inputFormat(); }
  void installTap(uint32_t bufferSize, TapHandler handler) override { core_.installTap(bufferSize, std::move(handler)); }
  void removeTap() override { core_.removeTap(); }
  bool installReferenceTap(ReferenceTapHandler handler) override {
    return core_.installReferenceTap(std::move(handler));
  }
  void setInterruptionHandler(InterruptionHandler handler) override {
    core_.setInterruptionHandler(std::move(handler));
  }

 private:
  Core& core_;
};

class PulseEngine final : public AudioEngine {
 public:
  explicit PulseEngine(std::chrono::milliseconds reconnectWindow)
      : core_(std::make_unique<Core>(reconnectWindow)), node_(*core_) {}
  ~PulseEngine() override { Core::shutdown(std::move(core_)); }

  AudioInputNode& inputNode() override { return node_; }
  Status start() override { return core_->start(); }
  void stop() override { core_->stop(); }

 private:
  std::unique_ptr<Core> core_;
  PulseInputNode node_;
};

}  // namespace

std::unique_ptr<AudioEngine> makePulseEngine() { return makePulseEngineReconnectingFor(kPulseReconnectWindow); }

std::unique_ptr<AudioEngine> makePulseEngineReconnectingFor(std::chrono::milliseconds window) {
  pulse::prepareBackend();
  return std::make_unique<PulseEngine>(window);
}

}  // namespace talvora::platform
