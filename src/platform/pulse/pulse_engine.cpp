// The audio engine: the input node is a record stream on the server's default source,
// on a connection of its own.
//
// Threads. The connection's loop thread is the audio thread: it runs every libpulse
// callback with the loop lock held, which is what makes the loop lock the one guard of
// the state below. The main thread and the capture queue enter through the engine's
// methods; they take `apiMutex` (which the loop thread never takes, so it cannot
// deadlock against the loop lock) and the loop lock around each change. A call on the
// loop thread itself (a stop from inside the tap handler or the interruption handler)
// already holds the loop lock and must never wait for the loop, so those paths only
// change flags and close the stream.
#include "platform/pulse/pulse_engine.h"

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

class Core final : private pulse::RecordStream::Sink {
 public:
  Core() {
    connection_.setLostHandler([this](int error) {
      if (microphone_.runningLocked()) reportInterruption(pa_strerror(error));
    });
  }
  // Never on the loop thread (see shutdown). The lost handler goes with the stream: the
  // members it reads are gone before the connection stops its loop.
  ~Core() {
    std::lock_guard api(apiMutex_);
    Connection::Lock lock(connection_);
    reference_.closeLocked();
    microphone_.closeLocked();
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
    if (Status failed = readSourceLocked()) return *failed;
    return AudioFormat{static_cast<double>(source_->spec.rate), source_->spec.channels};
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
    return !readSourceLocked() && reference_.installLocked(*source_, std::move(handler));
  }

  Status start() {
    if (inLoop()) return Error{"the microphone cannot be started from the audio thread"};
    std::lock_guard api(apiMutex_);
    if (Status failed = connect()) return failed;
    Connection::Lock lock(connection_);
    if (microphone_.runningLocked()) return std::nullopt;
    microphone_.closeLocked();  // One that failed since (the source went away) is replaced.
    if (Status failed = readSourceLocked()) return failed;
    interrupted_ = false;
    if (Status failed = microphone_.openLocked(*source_, requestedFrames_)) return failed;
    reference_.openLocked();
    return std::nullopt;
  }

  // Also on the loop thread.
  void stop() {
    std::unique_lock api(apiMutex_, std::defer_lock);
    if (!inLoop()) api.lock();
    Connection::Lock lock(connection_);
    reference_.closeLocked();
    microphone_.closeLocked();
  }

  // What the engine's destructor does. On the loop thread the loop cannot stop itself:
  // the stream goes now, and the reaper destroys the core (stopping the loop) once the
  // callback that got us here has returned and let go of the loop lock.
  static void shutdown(std::unique_ptr<Core> core) {
    if (!core || !core->inLoop()) return;  // Otherwise `core` goes here and now.
    core->tapOn_ = false;
    core->reference_.closeLocked();
    core->microphone_.closeLocked();
    std::shared_ptr<Core> owned(std::move(core));
    pulse::Reaper::instance().later([owned]() mutable { owned.reset(); });
  }

 private:
  bool inLoop() const { return connection_.inLoopThread(); }

  // apiMutex held, loop lock not held. A stream on a context that failed goes before
  // the connection replaces that context.
  Status connect() {
    {
      Connection::Lock lock(connection_);
      if (!connection_.connectedLocked()) {
        reference_.closeLocked();
        microphone_.closeLocked();
      }
    }
    return connection_.connect();
  }

  // Reads the default source's name and native format, once per engine: the format the
  // tap was promised must be the one the stream gets. Both locks held, connected.
  Status readSourceLocked() {
    if (source_) return std::nullopt;
    Result<pulse::SourceInfo> source = pulse::queryDefaultSource(connection_);
    if (!source) return source.error();
    source_ = source.take();
    return std::nullopt;
  }

  // ---- Loop thread.

  void reportInterruption(const char* description) {
    if (interrupted_) return;
    interrupted_ = true;
    if (interruption_) interruption_(description);
  }

  void deliver(const AudioBufferView& buffer) override {
    if (tapOn_ && tap_) tap_(buffer);
  }
  void streamFailed(const char* reason) override { reportInterruption(reason); }

  std::mutex apiMutex_;
  Connection connection_;

  // Loop lock.
  pulse::RecordStream microphone_{connection_, *this, "Voice note", "the microphone"};
  pulse::ReferenceStream reference_{connection_, microphone_};
  bool interrupted_ = false;
  std::optional<pulse::SourceInfo> source_;
  AudioInputNode::TapHandler tap_;
  uint32_t requestedFrames_ = 0;
  bool tapOn_ = false;
  AudioInputNode::InterruptionHandler interruption_;
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
  PulseEngine() : core_(std::make_unique<Core>()), node_(*core_) {}
  ~PulseEngine() override { Core::shutdown(std::move(core_)); }

  AudioInputNode& inputNode() override { return node_; }
  Status start() override { return core_->start(); }
  void stop() override { core_->stop(); }

 private:
  std::unique_ptr<Core> core_;
  PulseInputNode node_;
};

}  // namespace

std::unique_ptr<AudioEngine> makePulseEngine() {
  pulse::prepareBackend();
  return std::make_unique<PulseEngine>();
}

}  // namespace talvora::platform
