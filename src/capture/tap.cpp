#include "capture/tap.h"

#include <cmath>

namespace talvora::capture {
namespace {

constexpr uint32_t kLanes = 8;

// Sum of squares of out[0..frames) in eight interleaved partial sums: single precision,
// vectorisable without reassociation flags.
float sumOfSquares(const float* out, uint32_t frames) {
  float lanes[kLanes] = {};
  uint32_t i = 0;
  for (; i + kLanes <= frames; i += kLanes) {
    for (uint32_t l = 0; l < kLanes; ++l) lanes[l] += out[i + l] * out[i + l];
  }
  float sum = 0;
  for (uint32_t l = 0; l < kLanes; ++l) sum += lanes[l];
  for (; i < frames; ++i) sum += out[i] * out[i];
  return sum;
}

}  // namespace

float mixDown(const float* const* in, uint32_t channels, uint32_t frames, float* out) {
  if (channels == 1) {
    const float* a = in[0];
    for (uint32_t i = 0; i < frames; ++i) out[i] = a[i];
  } else if (channels == 2) {
    const float* a = in[0];
    const float* b = in[1];
    for (uint32_t i = 0; i < frames; ++i) out[i] = (a[i] + b[i]) / 2.0f;
  } else if (channels > 2) {
    // Channel by channel over the output, which stays in the first-level cache: each
    // inner loop is a straight vector add.
    const float divisor = static_cast<float>(channels);
    const float* a = in[0];
    for (uint32_t i = 0; i < frames; ++i) out[i] = a[i];
    for (uint32_t c = 1; c < channels; ++c) {
      const float* x = in[c];
      for (uint32_t i = 0; i < frames; ++i) out[i] += x[i];
    }
    for (uint32_t i = 0; i < frames; ++i) out[i] /= divisor;
  } else {
    for (uint32_t i = 0; i < frames; ++i) out[i] = 0;
  }
  float divisor = static_cast<float>(frames > 1 ? frames : 1);
  return std::sqrt(sumOfSquares(out, frames) / divisor);
}

FreeList::FreeList(uint32_t capacity) : ring_(capacity) {}

int FreeList::take() {
  uint64_t r = read_.load(std::memory_order_relaxed);
  if (r == write_.load(std::memory_order_acquire)) return -1;
  int index = ring_[r % ring_.size()];
  read_.store(r + 1, std::memory_order_release);
  return index;
}

void FreeList::give(int index) {
  uint64_t w = write_.load(std::memory_order_relaxed);
  ring_[w % ring_.size()] = index;
  write_.store(w + 1, std::memory_order_release);
}

}  // namespace talvora::capture
