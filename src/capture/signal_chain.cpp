#include "capture/signal_chain.h"

#include <algorithm>
#include <array>

#include "capture/mix_down.h"

namespace talvora::capture {

void SignalChain::setProcessor(std::unique_ptr<platform::VoiceProcessor> processor, uint32_t maxFrames) {
  processor_ = std::move(processor);
  maxFrames_ = std::max<uint32_t>(maxFrames, 1);
  referenceMix_.assign(processor_ ? maxFrames_ : 0, 0.0f);
}

float SignalChain::run(const float* const* in, uint32_t channels, uint32_t frames, float* out) {
  // Without processing the level comes out of the mix-down's own pass.
  const float mixLevel = mixDown(in, channels, frames, out);
  if (!processor_) return mixLevel;
  // A delivery longer than the processor was made for goes through in pieces.
  for (uint32_t at = 0; at < frames; at += maxFrames_) processor_->process(out + at, std::min(maxFrames_, frames - at));
  return rootMeanSquare(out, frames);
}

void SignalChain::runReference(const float* const* in, uint32_t channels, uint32_t frames, double delayMs) {
  if (!processor_ || in == nullptr || channels == 0 || channels > kMaxReferenceChannels) return;
  std::array<const float*, kMaxReferenceChannels> piece;
  for (uint32_t at = 0; at < frames; at += maxFrames_) {
    const uint32_t n = std::min(maxFrames_, frames - at);
    for (uint32_t c = 0; c < channels; ++c) piece[c] = in[c] + at;
    mixDown(piece.data(), channels, n, referenceMix_.data());
    processor_->processReference(referenceMix_.data(), n, delayMs);
  }
}

}  // namespace talvora::capture
