#include "platform/soxr/resampler.h"

#include <soxr.h>

#include <cmath>
#include <string>

namespace talvora::platform {

Resampler::Resampler(double outputRate) : outputRate_(outputRate) {}

Resampler::~Resampler() {
  if (soxr_) soxr_delete(soxr_);
}

Status Resampler::process(const float* samples, size_t frames, double inputRate, std::vector<float>& out) {
  if (inputRate <= 0) return Error{"audio with a sample rate of " + std::to_string(inputRate) + " Hz"};
  // An empty buffer has nothing to give, and its samples pointer may well be null,
  // which soxr takes for the end of the input: after that it refuses everything.
  if (frames == 0) return std::nullopt;
  if (inputRate != inputRate_) {
    if (Status failed = flush(out)) return failed;
    inputRate_ = inputRate;
    if (inputRate_ != outputRate_) {
      const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
      const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
      soxr_error_t error = nullptr;
      soxr_ = soxr_create(inputRate_, outputRate_, 1, &error, &io, &quality, nullptr);
      if (error) {
        soxr_ = nullptr;
        inputRate_ = 0;
        return Error{std::string("the audio could not be resampled: ") + error};
      }
    }
  }
  if (!soxr_) {
    out.insert(out.end(), samples, samples + frames);
    return std::nullopt;
  }
  return run(samples, frames, out);
}

Status Resampler::flush(std::vector<float>& out) {
  Status result;
  if (soxr_) {
    result = run(nullptr, 0, out);
    soxr_delete(soxr_);
    soxr_ = nullptr;
  }
  inputRate_ = 0;
  return result;
}

// Feeds `frames` samples (none: end of input) and collects every sample soxr has ready.
Status Resampler::run(const float* samples, size_t frames, std::vector<float>& out) {
  const double ratio = outputRate_ / inputRate_;
  size_t consumed = 0;
  for (;;) {
    const size_t room = static_cast<size_t>(std::ceil(static_cast<double>(frames - consumed) * ratio)) + 256;
    const size_t start = out.size();
    out.resize(start + room);
    size_t taken = 0;
    size_t produced = 0;
    const soxr_error_t error = soxr_process(soxr_, samples ? samples + consumed : nullptr, frames - consumed, &taken,
                                            out.data() + start, room, &produced);
    out.resize(start + produced);
    if (error) return Error{std::string("the audio could not be resampled: ") + error};
    consumed += taken;
    if (samples && taken == 0 && produced == 0) {
      // Everything was taken and the previous call happened to fill the output exactly:
      // the second look found nothing more, which is the normal end of this buffer.
      if (consumed == frames) return std::nullopt;
      return Error{"the audio resampler stopped taking input"};
    }
    // Input left over, or a full output buffer, means soxr has more to give.
    if (consumed < frames || produced == room) continue;
    if (samples == nullptr && produced > 0) continue;
    return std::nullopt;
  }
}

}  // namespace talvora::platform
