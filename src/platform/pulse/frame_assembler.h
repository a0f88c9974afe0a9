#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace talvora::platform::pulse {

// Turns the interleaved 32-bit float bytes a record stream hands out into planar
// channel arrays of bounded length, without allocating after construction.
//
// The server's fragments normally hold whole frames, but nothing in the protocol
// promises it, so a partial frame at the end of one fragment is carried over to the
// next. A hole in the stream (null data) counts as that many bytes of silence, which
// keeps the timeline of the recording intact.
class FrameAssembler {
 public:
  FrameAssembler(uint32_t channels, uint32_t capacityFrames)
      : channels_(channels == 0 ? 1 : channels),
        capacity_(capacityFrames == 0 ? 1 : capacityFrames),
        samples_(static_cast<size_t>(channels_) * capacity_),
        pointers_(channels_),
        frameBytes_(channels_ * sizeof(float)),
        carry_(frameBytes_) {
    for (uint32_t c = 0; c < channels_; ++c) pointers_[c] = samples_.data() + static_cast<size_t>(c) * capacity_;
  }

  uint32_t channelCount() const { return channels_; }
  uint32_t capacity() const { return capacity_; }
  // Frames gathered and not yet handed to a sink.
  uint32_t pending() const { return filled_; }

  // Appends `length` bytes (`data` null: silence). Each time the arrays are full,
  // `sink(channels, frames)` receives them and they start over.
  template <class Sink>
  void append(const void* data, size_t length, Sink&& sink) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (carried_ > 0) {
      size_t take = frameBytes_ - carried_;
      if (take > length) take = length;
      copyBytes(carry_.data() + carried_, bytes, take);
      carried_ += take;
      length -= take;
      if (bytes) bytes += take;
      if (carried_ < frameBytes_) return;
      carried_ = 0;
      putFrames(carry_.data(), 1, sink);
    }
    const size_t frames = length / frameBytes_;
    size_t done = 0;
    while (done < frames) {
      size_t room = capacity_ - filled_;
      size_t now = frames - done < room ? frames - done : room;
      putFrames(bytes ? bytes + done * frameBytes_ : nullptr, now, sink);
      done += now;
    }
    const size_t rest = length - frames * frameBytes_;
    if (rest > 0) {
      copyBytes(carry_.data(), bytes ? bytes + frames * frameBytes_ : nullptr, rest);
      carried_ = rest;
    }
  }

  // Hands whatever whole frames are gathered to `sink`; a partial frame stays carried.
  template <class Sink>
  void flush(Sink&& sink) {
    if (filled_ == 0) return;
    const uint32_t frames = filled_;
    filled_ = 0;
    sink(static_cast<const float* const*>(pointers_.data()), frames);
  }

  // Forgets everything gathered and carried (a new stream starts).
  void reset() {
    filled_ = 0;
    carried_ = 0;
  }

 private:
  static void copyBytes(unsigned char* to, const unsigned char* from, size_t count) {
    if (from) std::memcpy(to, from, count);
    else std::memset(to, 0, count);
  }

  // Deinterleaves `frames` frames (at most the room left) and hands the arrays over
  // when they are full. Null `bytes` writes silence.
  template <class Sink>
  void putFrames(const unsigned char* bytes, size_t frames, Sink& sink) {
    for (uint32_t c = 0; c < channels_; ++c) {
      float* out = pointers_[c] + filled_;
      if (!bytes) {
        std::memset(out, 0, frames * sizeof(float));
        continue;
      }
      const unsigned char* in = bytes + c * sizeof(float);
      for (size_t i = 0; i < frames; ++i) std::memcpy(out + i, in + i * frameBytes_, sizeof(float));
    }
    filled_ += static_cast<uint32_t>(frames);
    if (filled_ == capacity_) flush(sink);
  }

  const uint32_t channels_;
  const uint32_t capacity_;
  std::vector<float> samples_;
  std::vector<float*> pointers_;
  const size_t frameBytes_;
  std::vector<unsigned char> carry_;
  size_t carried_ = 0;
  uint32_t filled_ = 0;
};

}  // namespace talvora::platform::pulse
