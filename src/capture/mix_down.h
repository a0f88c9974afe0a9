#pragma once

#include <cstdint>

namespace talvora::capture {

// Mixes `frames` frames of `channels` planar float channels down to mono in `out` (sum
// in channel order divided by the channel count) and returns the root mean square of
// the mix. One pass over the input; the per-channel work is written so that the
// compiler vectorises it, which is why the sum of squares runs in eight lanes.
// `out` may be read as scratch: it must hold `frames` samples.
float mixDown(const float* const* in, uint32_t channels, uint32_t frames, float* out);

// The root mean square of `frames` mono samples; 0 for none.
float rootMeanSquare(const float* samples, uint32_t frames);

}  // namespace talvora::capture
