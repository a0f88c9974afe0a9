#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "capture/handover_pool.h"
#include "capture/mix_down.h"
#include "capture/signal_chain.h"

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

TEST(MixDown, RootMeanSquareMatchesTheMixDownsOwnLevel) {
  std::vector<float> in(1003);
  for (size_t i = 0; i < in.size(); ++i) in[i] = std::cos(static_cast<float>(i) * 0.013f) * 0.7f;
  std::vector<float> out;
  EXPECT_NEAR(rootMeanSquare(in.data(), static_cast<uint32_t>(in.size())), mix({in}, out), 1e-6);
  EXPECT_EQ(rootMeanSquare(nullptr, 0), 0.0f);
}

// Negates and delays by `lag` samples, in calls of any size: a recognisable stand-in for a
// block-based processor.
class DelayingNegator final : public platform::VoiceProcessor {
 public:
  explicit DelayingNegator(size_t lag) : history_(lag, 0.0f) {}
  void process(float* samples, uint32_t frames) override {
    largest = std::max(largest, frames);
    for (uint32_t i = 0; i < frames; ++i) {
      history_.push_back(-samples[i]);
      samples[i] = history_.front();
      history_.pop_front();
    }
  }
  uint32_t largest = 0;

 private:
  std::deque<float> history_;
};

TEST(SignalChain, MixesDownThenProcessesAndMeasuresWhatCameOut) {
  SignalChain plain;
  std::vector<float> left(300, 0.5f), right(300, 0.1f), out(300);
  const float* stereo[] = {left.data(), right.data()};
  EXPECT_NEAR(plain.run(stereo, 2, 300, out.data()), 0.3f, 1e-6);
  for (float s : out) ASSERT_FLOAT_EQ(s, 0.3f);

  // With a processor: every frame of the mono mix passes once, in order, through it (in
  // pieces no longer than it was made for), and the level is that of its output.
  SignalChain processed;
  auto processor = std::make_unique<DelayingNegator>(100);
  DelayingNegator* seen = processor.get();
  processed.setProcessor(std::move(processor), 128);
  ASSERT_TRUE(processed.processing());
  std::vector<float> ramp(1000), rampRight(1000), result;
  for (size_t i = 0; i < ramp.size(); ++i) ramp[i] = rampRight[i] = static_cast<float>(i + 1) / 1000;
  for (uint32_t size : {1u, 450u, 549u}) {
    const size_t at = result.size();
    const float* in[] = {ramp.data() + at, rampRight.data() + at};
    std::vector<float> piece(size);
    const float level = processed.run(in, 2, size, piece.data());
    EXPECT_NEAR(level, rootMeanSquare(piece.data(), size), 1e-6);
    result.insert(result.end(), piece.begin(), piece.end());
  }
  EXPECT_LE(seen->largest, 128u);
  ASSERT_EQ(result.size(), ramp.size());
  for (size_t i = 0; i < 100; ++i) ASSERT_EQ(result[i], 0.0f);
  for (size_t i = 100; i < result.size(); ++i) ASSERT_EQ(result[i], -ramp[i - 100]) << i;
}

TEST(HandoverPool, TakesEachSlotOnceUntilAllAreTakenAndFreesThemAgain) {
  std::vector<float> consumed;
  HandoverPool pool(3, 16, [&](const float* samples, uint32_t frames, float level) {
    consumed.assign(samples, samples + frames);
    consumed.push_back(level);
  });
  std::set<HandoverPool::Handover*> taken;
  for (int i = 0; i < 3; ++i) taken.insert(pool.take());
  EXPECT_EQ(taken.size(), 3u);
  EXPECT_FALSE(taken.count(nullptr));
  EXPECT_EQ(pool.take(), nullptr);
  EXPECT_EQ(pool.available(), 0u);

  // A slot that was filled and consumed (what the capture queue does with a posted node)
  // comes back, and so does one the audio thread could not fill.
  HandoverPool::Handover* first = *taken.begin();
  platform::PcmBuffer* buffer = first->bufferFor(2);
  buffer->data()[0] = 0.25f;
  buffer->data()[1] = 0.5f;
  first->level = 0.75f;
  platform::QueueNode& node = *first;
  node.run();
  node.release();
  EXPECT_EQ(consumed, (std::vector<float>{0.25f, 0.5f, 0.75f}));
  pool.giveBack(*std::next(taken.begin()));
  EXPECT_EQ(pool.available(), 2u);

  // A delivery longer than the pooled buffer gets a buffer of its own for that one turn.
  HandoverPool::Handover* again = pool.take();
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(again->bufferFor(64)->frameCapacity(), 64u);
  static_cast<platform::QueueNode&>(*again).release();
  HandoverPool::Handover* next = pool.take();
  EXPECT_EQ(next->bufferFor(16)->frameCapacity(), 16u);
}

// The audio thread gives a slot back when it cannot fill it, while the capture queue gives
// back the ones it consumed. Both at once must never lose a slot: after any number of
// rounds every slot is free again.
TEST(HandoverPool, GivingBackFromBothThreadsAtOnceLosesNoSlot) {
  constexpr uint32_t kSlots = 8;
  HandoverPool pool(kSlots, 4, [](const float*, uint32_t, float) {});
  std::mutex mutex;
  std::deque<HandoverPool::Handover*> posted;
  std::atomic<bool> producing{true};

  std::thread queue([&] {
    while (true) {
      HandoverPool::Handover* handover = nullptr;
      {
        std::lock_guard lock(mutex);
        if (!posted.empty()) {
          handover = posted.front();
          posted.pop_front();
        }
      }
      if (handover) {
        static_cast<platform::QueueNode*>(handover)->release();
      } else if (!producing.load()) {
        std::lock_guard lock(mutex);
        if (posted.empty()) return;
      }
    }
  });
  for (int round = 0; round < 200000; ++round) {
    HandoverPool::Handover* handover = pool.take();
    if (!handover) continue;
    if (round % 2 == 0) {
      pool.giveBack(handover);
    } else {
      std::lock_guard lock(mutex);
      posted.push_back(handover);
    }
  }
  producing = false;
  queue.join();

  EXPECT_EQ(pool.available(), kSlots);
  std::set<HandoverPool::Handover*> all;
  for (uint32_t i = 0; i < kSlots; ++i) all.insert(pool.take());
  EXPECT_EQ(all.size(), kSlots);
  EXPECT_FALSE(all.count(nullptr));
}

}  // namespace
}  // namespace talvora::capture
