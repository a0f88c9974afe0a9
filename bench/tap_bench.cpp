// What the audio thread spends per buffer: the tap's mix-down with level (against the
// floor of copying the same bytes), and the voice processor that may run before it.
// A 2048-frame buffer at 48 kHz lasts 42.7 ms; the "cpu_per_audio" counter is the
// processor time spent per second of audio (1 s would be exactly real time).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "capture/mix_down.h"
#include "capture/signal_chain.h"
#include "platform/webrtc/webrtc_voice_processor.h"

namespace {

constexpr uint32_t kFrames = 2048;
constexpr double kRate = 48000;

struct PlanarInput {
  explicit PlanarInput(uint32_t channels, size_t frames = kFrames) : samples(channels, std::vector<float>(frames)) {
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    for (auto& channel : samples) {
      for (float& x : channel) x = noise(random);
    }
    for (auto& channel : samples) pointers.push_back(channel.data());
  }
  std::vector<std::vector<float>> samples;
  std::vector<const float*> pointers;
};

void reportCpuPerAudioSecond(benchmark::State& state) {
  // Seconds of work per second of audio, averaged over the iterations.
  state.counters["cpu_per_audio"] = benchmark::Counter(static_cast<double>(state.iterations()) * kFrames / kRate,
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_TapMixDown(benchmark::State& state) {
  const auto channels = static_cast<uint32_t>(state.range(0));
  PlanarInput input(channels);
  std::vector<float> out(kFrames);
  for (auto _ : state) {
    float level = talvora::capture::mixDown(input.pointers.data(), channels, kFrames, out.data());
    benchmark::DoNotOptimize(level);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * channels * sizeof(float));
  reportCpuPerAudioSecond(state);
}
BENCHMARK(BM_TapMixDown)->Arg(1)->Arg(2)->Arg(6);

// The floor: moving the same number of bytes without looking at them.
void BM_MemcpySameBytes(benchmark::State& state) {
  const auto channels = static_cast<uint32_t>(state.range(0));
  PlanarInput input(channels);
  std::vector<float> out(static_cast<size_t>(kFrames) * channels);
  for (auto _ : state) {
    for (uint32_t c = 0; c < channels; ++c) {
      std::memcpy(out.data() + static_cast<size_t>(c) * kFrames, input.pointers[c], kFrames * sizeof(float));
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * channels * sizeof(float));
  reportCpuPerAudioSecond(state);
}
BENCHMARK(BM_MemcpySameBytes)->Arg(1)->Arg(2)->Arg(6);

// The signal chain on 2048-frame buffers at 48 kHz: mix-down, then the recorder's voice
// processing (high-pass, adaptive noise suppression); with the second argument 1, also
// echo cancellation against a far end of the same length fed before each buffer. The
// input walks through a second of noise, loud enough to keep suppression engaged, so
// that the processing does not settle on one repeated buffer.
void BM_VoiceProcessor48k(benchmark::State& state) {
  const auto channels = static_cast<uint32_t>(state.range(0));
  const bool echo = state.range(1) != 0;
  auto made = talvora::platform::makeWebRtcVoiceProcessor(kRate, kFrames, echo);
  if (!made.ok()) {
    state.SkipWithError(made.error().description.c_str());
    return;
  }
  talvora::capture::SignalChain chain;
  chain.setProcessor(made.take(), kFrames);
  const size_t span = static_cast<size_t>(kRate) / kFrames * kFrames;
  PlanarInput input(channels, span);
  PlanarInput far(1, span);
  std::vector<float> out(kFrames);
  std::vector<const float*> in(channels);
  size_t at = 0;
  for (auto _ : state) {
    if (echo) {
      const float* reference = far.samples[0].data() + at;
      chain.runReference(&reference, 1, kFrames, 20);
    }
    for (uint32_t c = 0; c < channels; ++c) in[c] = input.samples[c].data() + at;
    benchmark::DoNotOptimize(chain.run(in.data(), channels, kFrames, out.data()));
    benchmark::ClobberMemory();
    at = (at + kFrames) % span;
  }
  reportCpuPerAudioSecond(state);
}
BENCHMARK(BM_VoiceProcessor48k)->Args({1, 0})->Args({2, 0})->Args({1, 1})->Unit(benchmark::kMicrosecond);

}  // namespace
