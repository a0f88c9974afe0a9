#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/audio.h"

namespace talvora::capture {

// Mixes `frames` frames of `channels` planar float channels down to mono in `out` (sum
// in channel order divided by the channel count) and returns the root mean square of
// the mix. One pass over the input; the per-channel work is written so that the
// compiler vectorises it, which is why the sum of squares runs in eight lanes.
// `out` may be read as scratch: it must hold `frames` samples.
float mixDown(const float* const* in, uint32_t channels, uint32_t frames, float* out);

// Single-producer single-consumer stack of free buffer indices: the audio thread takes,
// the capture queue gives back. Wait-free; capacity fixed at construction.
class FreeList {
 public:
  explicit FreeList(uint32_t capacity);
  // Audio thread. -1 when empty.
  int take();
  // Capture queue.
  void give(int index);

 private:
  std::vector<int> ring_;
  std::atomic<uint64_t> read_{0};
  std::atomic<uint64_t> write_{0};
};

}  // namespace talvora::capture
