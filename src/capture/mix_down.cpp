#include "capture/mix_down.h"

#include <cmath>
#include <cstring>

namespace talvora::capture {
namespace {

// Eight floats at a time through the compiler's generic vector type: plain SSE on any
// x86-64, one AVX register where the AVX2 clone runs, NEON elsewhere. The squares are
// summed in eight lanes and the lanes added at the end: single precision throughout.
typedef float Vec __attribute__((vector_size(32)));
constexpr uint32_t kLanes = sizeof(Vec) / sizeof(float);

[[gnu::always_inline]] inline Vec load(const float* p) {
  Vec v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
[[gnu::always_inline]] inline void store(float* p, Vec v) { std::memcpy(p, &v, sizeof v); }
[[gnu::always_inline]] inline float laneSum(Vec v) {
  float sum = 0;
  for (uint32_t l = 0; l < kLanes; ++l) sum += v[l];
  return sum;
}

// Built for AVX2 as well as the baseline; the loader picks what the processor runs.
#if defined(__x86_64__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define TALVORA_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TALVORA_VECTOR_CLONES
#endif

TALVORA_VECTOR_CLONES
float copyMono(const float* a, uint32_t frames, float* out) {
  // A plain copy is bound by the latency of the running sum: four of them in flight.
  Vec s0 = {}, s1 = {}, s2 = {}, s3 = {};
  uint32_t i = 0;
  for (; i + 4 * kLanes <= frames; i += 4 * kLanes) {
    const Vec x0 = load(a + i), x1 = load(a + i + kLanes), x2 = load(a + i + 2 * kLanes), x3 = load(a + i + 3 * kLanes);
    store(out + i, x0);
    store(out + i + kLanes, x1);
    store(out + i + 2 * kLanes, x2);
    store(out + i + 3 * kLanes, x3);
    s0 += x0 * x0;
    s1 += x1 * x1;
    s2 += x2 * x2;
    s3 += x3 * x3;
  }
  float sum = laneSum((s0 + s1) + (s2 + s3));
  for (; i < frames; ++i) {
    out[i] = a[i];
    sum += a[i] * a[i];
  }
  return sum;
}

TALVORA_VECTOR_CLONES
float mixStereo(const float* a, const float* b, uint32_t frames, float* out) {
  Vec squares = {};
  uint32_t i = 0;
  for (; i + kLanes <= frames; i += kLanes) {
    const Vec x = (load(a + i) + load(b + i)) / 2.0f;
    store(out + i, x);
    squares += x * x;
  }
  float sum = laneSum(squares);
  for (; i < frames; ++i) {
    const float x = (a[i] + b[i]) / 2.0f;
    out[i] = x;
    sum += x * x;
  }
  return sum;
}

// More than two channels: eight frames at a time, summing the channels in order in a
// register, so each input sample is read once and each output sample written once.
TALVORA_VECTOR_CLONES
float mixMany(const float* const* in, uint32_t channels, uint32_t frames, float* out) {
  const float divisor = static_cast<float>(channels);
  Vec squares = {};
  uint32_t i = 0;
  for (; i + kLanes <= frames; i += kLanes) {
    Vec x = load(in[0] + i);
    for (uint32_t c = 1; c < channels; ++c) x += load(in[c] + i);
    x /= divisor;
    store(out + i, x);
    squares += x * x;
  }
  float sum = laneSum(squares);
  for (; i < frames; ++i) {
    float x = in[0][i];
    for (uint32_t c = 1; c < channels; ++c) x += in[c][i];
    x /= divisor;
    out[i] = x;
    sum += x * x;
  }
  return sum;
}

}  // namespace

float mixDown(const float* const* in, uint32_t channels, uint32_t frames, float* out) {
  float sumOfSquares = 0;
  if (channels == 1) {
    sumOfSquares = copyMono(in[0], frames, out);
  } else if (channels == 2) {
    sumOfSquares = mixStereo(in[0], in[1], frames, out);
  } else if (channels > 2) {
    sumOfSquares = mixMany(in, channels, frames, out);
  } else {
    for (uint32_t i = 0; i < frames; ++i) out[i] = 0;
  }
  const float divisor = static_cast<float>(frames > 1 ? frames : 1);
  return std::sqrt(sumOfSquares / divisor);
}

TALVORA_VECTOR_CLONES
float rootMeanSquare(const float* samples, uint32_t frames) {
  Vec squares = {};
  uint32_t i = 0;
  for (; i + kLanes <= frames; i += kLanes) {
    const Vec x = load(samples + i);
    squares += x * x;
  }
  float sum = laneSum(squares);
  for (; i < frames; ++i) sum += samples[i] * samples[i];
  return std::sqrt(sum / static_cast<float>(frames > 1 ? frames : 1));
}

}  // namespace talvora::capture
