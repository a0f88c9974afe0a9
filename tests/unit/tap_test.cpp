#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "capture/tap.h"

namespace talvora::capture {
namespace {

float mix(const std::vector<std::vector<float>>& channels, std::vector<float>& out) {
  std::vector<const float*> pointers;
  for (const auto& c : channels) pointers.push_back(c.data());
  out.assign(channels[0].size(), -1.0f);
  return mixDown(pointers.data(), static_cast<uint32_t>(channels.size()), static_cast<uint32_t>(out.size()),
                 out.data());
}

TEST(MixDown, OppositeStereoChannelsCancelToSilence) {
  std::vector<float> out;
  float level = mix({std::vector<float>(2048, 0.5f), std::vector<float>(2048, -0.5f)}, out);
  EXPECT_EQ(level, 0.0f);
  for (float s : out) ASSERT_EQ(s, 0.0f);
}

TEST(MixDown, MonoPassesThroughAndLevelIsTheRms) {
  std::vector<float> in(1000);
  double sum = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    in[i] = std::sin(static_cast<float>(i) * 0.05f) * 0.3f;
    sum += static_cast<double>(in[i]) * in[i];
  }
  std::vector<float> out;
  float level = mix({in}, out);
  EXPECT_EQ(out, in);
  EXPECT_NEAR(level, std::sqrt(sum / in.size()), 1e-6);
}

TEST(MixDown, ManyChannelsAverageInOrderAndEmptyBuffersAreSilent) {
  std::vector<std::vector<float>> six;
  for (int c = 0; c < 6; ++c) six.push_back(std::vector<float>(37, static_cast<float>(c)));
  std::vector<float> out;
  float level = mix(six, out);
  for (float s : out) EXPECT_EQ(s, 15.0f / 6.0f);
  EXPECT_NEAR(level, 2.5f, 1e-6);
  const float* none[1] = {nullptr};
  EXPECT_EQ(mixDown(none, 1, 0, nullptr), 0.0f);
}

TEST(FreeList, GivesBackWhatWasTakenUntilEmpty) {
  FreeList list(3);
  for (int i = 0; i < 3; ++i) list.give(i);
  EXPECT_EQ(list.take(), 0);
  EXPECT_EQ(list.take(), 1);
  list.give(0);
  EXPECT_EQ(list.take(), 2);
  EXPECT_EQ(list.take(), 0);
  EXPECT_EQ(list.take(), -1);
}

}  // namespace
}  // namespace talvora::capture
