#pragma once

#include <cstdint>
#include <vector>

#include "platform/error.h"

typedef struct soxr* soxr_t;

namespace talvora::platform::pocketsphinx {

// Streaming conversion of mono float audio at any rate to 16-bit samples at one fixed
// rate, buffer by buffer, keeping the filter state between buffers so that the joins are
// seamless. A change of input rate flushes what the old rate left in the filter first.
class Resampler {
 public:
  explicit Resampler(double outputRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  // Appends the converted form of `frames` samples at `inputRate` to `out`. The filter
  // holds back a few milliseconds, which `flush` releases.
  Status process(const float* samples, size_t frames, double inputRate, std::vector<int16_t>& out);
  // End of input: appends whatever the filter still holds.
  Status flush(std::vector<int16_t>& out);

 private:
  Status run(const float* samples, size_t frames, std::vector<int16_t>& out);

  const double outputRate_;
  double inputRate_ = 0;
  soxr_t soxr_ = nullptr;
};

}  // namespace talvora::platform::pocketsphinx
