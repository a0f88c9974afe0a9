// The streaming resampler: rates, levels, the joins between buffers, a change of rate.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "platform/soxr/resampler.h"

namespace talvora::platform {
namespace {

std::vector<float> tone(double frequency, double rate, double seconds) {
  std::vector<float> samples(static_cast<size_t>(rate * seconds));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.5f * static_cast<float>(std::sin(2 * std::numbers::pi * frequency * static_cast<double>(i) / rate));
  }
  return samples;
}

// Upward zero crossings per second over the middle of the signal.
double frequencyOf(const std::vector<float>& samples, double rate) {
  const size_t from = samples.size() / 4;
  const size_t to = samples.size() * 3 / 4;
  int crossings = 0;
  for (size_t i = from + 1; i < to; ++i) crossings += samples[i - 1] < 0 && samples[i] >= 0;
  return crossings * rate / static_cast<double>(to - from);
}

struct Rates {
  double from;
  double to;
};
// Microphone rates down to the speech decoder's, audio already at that rate, and a
// 44.1 kHz microphone up to a 48 kHz recording.
constexpr Rates kRates[] = {{48000, 16000}, {44100, 16000}, {16000, 16000}, {44100, 48000}};

TEST(Resampler, StreamsBufferByBufferAtTheOutputRate) {
  for (const auto [from, to] : kRates) {
    const std::vector<float> input = tone(440, from, 2.0);
    Resampler resampler(to);
    std::vector<float> out;
    for (size_t at = 0; at < input.size(); at += 2048) {
      ASSERT_FALSE(resampler.process(input.data() + at, std::min<size_t>(2048, input.size() - at), from, out));
      // Empty buffers (an empty vector's data is null) must not end the stream early.
      ASSERT_FALSE(resampler.process(nullptr, 0, from, out)) << from;
    }
    ASSERT_FALSE(resampler.flush(out));
    EXPECT_NEAR(static_cast<double>(out.size()), 2 * to, 2) << from << " to " << to;
    EXPECT_NEAR(frequencyOf(out, to), 440, 3) << from << " to " << to;
    float peak = 0;
    for (size_t i = out.size() / 4; i < out.size() * 3 / 4; ++i) peak = std::max(peak, out[i]);
    EXPECT_NEAR(peak, 0.5, 0.006) << from << " to " << to;
  }
}

TEST(Resampler, AnyBufferSizeKeepsStreamingForMinutes) {
  // Whatever the sizes, sooner or later a call fills the output exactly; the look for
  // more that follows finds nothing, and that must not end the stream.
  for (const auto [rate, to] : kRates) {
    if (rate == to) continue;
    Resampler resampler(to);
    std::vector<float> out;
    const std::vector<float> input = tone(440, rate, 1.0);
    uint32_t seed = 12345;
    size_t fed = 0;
    for (int call = 0; call < 60000; ++call) {
      seed = seed * 1664525u + 1013904223u;
      const size_t frames = 1 + (seed >> 8) % 4096;
      ASSERT_FALSE(resampler.process(input.data(), std::min(frames, input.size()), rate, out)) << rate << " call " << call;
      fed += std::min(frames, input.size());
      out.clear();
    }
    EXPECT_GT(fed, 0u);
  }
}

TEST(Resampler, AChangeOfRateKeepsBothParts) {
  Resampler resampler(16000);
  std::vector<float> out;
  const std::vector<float> first = tone(440, 48000, 1.0);
  const std::vector<float> second = tone(440, 44100, 1.0);
  ASSERT_FALSE(resampler.process(first.data(), first.size(), 48000, out));
  ASSERT_FALSE(resampler.process(second.data(), second.size(), 44100, out));
  ASSERT_FALSE(resampler.flush(out));
  EXPECT_NEAR(static_cast<double>(out.size()), 32000, 2);
  EXPECT_TRUE(resampler.process(first.data(), first.size(), 0, out));
}

}  // namespace
}  // namespace talvora::platform
