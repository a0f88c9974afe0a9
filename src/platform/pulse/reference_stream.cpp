#include "platform/pulse/reference_stream.h"

#include <utility>

namespace talvora::platform::pulse {
namespace {

// The far end's fragments: small, so that the canceller sees the speakers' sound soon
// after the microphone's and the delay estimate moves in fine steps.
constexpr uint32_t kReferenceFrames = 1024;

}  // namespace

bool ReferenceStream::installLocked(const SourceInfo& microphone, AudioInputNode::ReferenceTapHandler handler) {
  handler_ = nullptr;
  monitor_.reset();
  on_ = false;
  std::optional<std::string> monitor = queryDefaultSinkMonitor(stream_.connection());
  if (!monitor || *monitor == microphone.name) return false;
  SourceInfo far{std::move(*monitor), pa_sample_spec{PA_SAMPLE_FLOAT32NE, microphone.spec.rate, 1}, {}};
  pa_channel_map_init_mono(&far.map);
  monitor_ = std::move(far);
  handler_ = std::move(handler);
  on_ = static_cast<bool>(handler_);
  return on_;
}

void ReferenceStream::openLocked(bool waitForTheServer) {
  if (!on_ || !monitor_ || stream_.runningLocked()) return;
  delayMs_ = 0;
  // A failure leaves the recording without cancellation, which is all it costs.
  const auto flags = PA_STREAM_DONT_INHIBIT_AUTO_SUSPEND;
  if (waitForTheServer) {
    (void)stream_.openLocked(*monitor_, monitor_->name.c_str(), kReferenceFrames, flags);
  } else {
    (void)stream_.beginOpenLocked(*monitor_, monitor_->name.c_str(), kReferenceFrames, flags);
  }
}

void ReferenceStream::removeLocked(bool onLoopThread) {
  on_ = false;
  if (onLoopThread) return;
  stream_.closeLocked();
  handler_ = nullptr;
}

void ReferenceStream::deliver(const AudioBufferView& buffer) {
  if (!on_ || !handler_) return;
  // How much later the microphone's frames carry a sound than these do: the
  // microphone's frames left the source that much earlier, these that much; a
  // latency the server has not timed yet keeps the last estimate.
  const std::optional<double> near = microphone_.latencyUsecLocked();
  const std::optional<double> far = stream_.latencyUsecLocked();
  if (near && far) delayMs_ = (*near - *far) / 1000;
  handler_(buffer, delayMs_);
}

}  // namespace talvora::platform::pulse
