#pragma once

#include <cstddef>
#include <vector>

#include "platform/error.h"

typedef struct soxr* soxr_t;

namespace talvora::platform {

// Streaming conversion of mono float audio at any rate to float audio at one fixed rate,
// buffer by buffer, keeping the filter state between buffers so that the joins are
// seamless. Audio already at the output rate passes through unchanged. A change of input
// rate flushes what the old rate left in the filter first.
//
// Threads: one thread at a time (the speech worker, or the capture queue). It allocates as
// its output grows, so it is no work for the audio thread.
class Resampler {
 public:
  explicit Resampler(double outputRate);
  ~Resampler();
  Resampler(const Resampler&) = delete;
  Resampler& operator=(const Resampler&) = delete;

  double outputRate() const { return outputRate_; }

  // Appends the converted form of `frames` samples at `inputRate` to `out`. The filter
  // holds back a few milliseconds, which `flush` releases. An empty buffer (whose pointer
  // may be null) changes nothing: it is not the end of the input.
  Status process(const float* samples, size_t frames, double inputRate, std::vector<float>& out);
  // End of input: appends whatever the filter still holds. Audio that follows starts a
  // new stream.
  Status flush(std::vector<float>& out);

 private:
  Status run(const float* samples, size_t frames, std::vector<float>& out);

  const double outputRate_;
  double inputRate_ = 0;
  soxr_t soxr_ = nullptr;
};

}  // namespace talvora::platform
