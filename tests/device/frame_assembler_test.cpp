// The record stream's byte-to-planar conversion, fed the awkward fragments a server may
// hand out.

#include "platform/pulse/frame_assembler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace talvora::platform::pulse {
namespace {

struct Sink {
  std::vector<std::vector<float>> channels;
  std::vector<uint32_t> sizes;
  explicit Sink(uint32_t count) : channels(count) {}
  void operator()(const float* const* data, uint32_t frames) {
    sizes.push_back(frames);
    for (size_t c = 0; c < channels.size(); ++c) channels[c].insert(channels[c].end(), data[c], data[c] + frames);
  }
};

std::vector<unsigned char> interleaved(uint32_t channels, uint32_t frames) {
  std::vector<float> samples(static_cast<size_t>(channels) * frames);
  for (uint32_t i = 0; i < frames; ++i) {
    for (uint32_t c = 0; c < channels; ++c) samples[i * channels + c] = static_cast<float>(c * 100000 + i);
  }
  std::vector<unsigned char> bytes(samples.size() * sizeof(float));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

void expectSequence(const Sink& sink, uint32_t channels, uint32_t frames) {
  for (uint32_t c = 0; c < channels; ++c) {
    ASSERT_EQ(sink.channels[c].size(), frames) << "channel " << c;
    for (uint32_t i = 0; i < frames; ++i) ASSERT_EQ(sink.channels[c][i], static_cast<float>(c * 100000 + i));
  }
}

TEST(FrameAssembler, FragmentsThatSplitFramesAndSamplesJoinUp) {
  // Fragment sizes that cut through samples and frames of a 3-channel stream.
  const uint32_t channels = 3, frames = 1000;
  const auto bytes = interleaved(channels, frames);
  FrameAssembler assembler(channels, 256);
  Sink sink(channels);
  size_t at = 0;
  const size_t cuts[] = {1, 7, 12, 5, 4092, 4, 3, 1000, 11};
  for (size_t i = 0; at < bytes.size(); ++i) {
    size_t length = std::min(cuts[i % std::size(cuts)], bytes.size() - at);
    assembler.append(bytes.data() + at, length, sink);
    assembler.flush(std::ref(sink));
    at += length;
  }
  expectSequence(sink, channels, frames);
  for (uint32_t size : sink.sizes) EXPECT_LE(size, 256u);
}

TEST(FrameAssembler, LongFragmentsAreCutAtCapacityWithNothingLost) {
  const uint32_t channels = 2, frames = 5000;
  const auto bytes = interleaved(channels, frames);
  FrameAssembler assembler(channels, 1024);
  Sink sink(channels);
  assembler.append(bytes.data(), bytes.size(), sink);
  EXPECT_EQ(assembler.pending(), 5000u % 1024u);
  assembler.flush(std::ref(sink));
  expectSequence(sink, channels, frames);
  EXPECT_EQ(sink.sizes, (std::vector<uint32_t>{1024, 1024, 1024, 1024, 904}));
}

TEST(FrameAssembler, AHoleIsSilenceOfItsLength) {
  const uint32_t channels = 2;
  FrameAssembler assembler(channels, 64);
  Sink sink(channels);
  const auto bytes = interleaved(channels, 10);
  assembler.append(bytes.data(), 5 * 8 + 4, sink);  // five frames and half of the sixth
  assembler.append(nullptr, 4 + 3 * 8, sink);       // the hole completes it and adds three
  assembler.append(bytes.data(), 2 * 8, sink);
  assembler.flush(std::ref(sink));
  ASSERT_EQ(sink.channels[0].size(), 5u + 1 + 3 + 2);
  const std::vector<float> left{0, 1, 2, 3, 4, 5, 0, 0, 0, 0, 1};
  const std::vector<float> right{100000, 100001, 100002, 100003, 100004, 0, 0, 0, 0, 100000, 100001};
  EXPECT_EQ(sink.channels[0], left);
  EXPECT_EQ(sink.channels[1], right);
}

TEST(FrameAssembler, ResetDropsAPartialFrameFromTheLastStream) {
  FrameAssembler assembler(1, 16);
  Sink sink(1);
  const auto bytes = interleaved(1, 4);
  assembler.append(bytes.data(), 6, sink);  // one frame and half a sample
  assembler.reset();
  assembler.append(bytes.data(), 8, sink);
  assembler.flush(std::ref(sink));
  EXPECT_EQ(sink.channels[0], (std::vector<float>{0, 1}));
}

}  // namespace
}  // namespace talvora::platform::pulse
