// What keeping the file's header current costs. The sndfile backend has libsndfile
// rewrite the header after every write, so a recorder killed outright leaves a file that
// opens with everything written so far. Compared here, per 2048-frame mono float buffer
// (42.7 ms of audio at 48 kHz) written to a .wav in /tmp:
//   - the backend itself (its own I/O callbacks, header after every write);
//   - libsndfile on its own file I/O with the header after every write,
//   - with the header only at close,
//   - and with the header once per second of audio.
// Each file is rotated after kBuffersPerFile buffers (about 44 s) outside the timing,
// so the disk use stays bounded whatever the iteration count.
#include <benchmark/benchmark.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/sndfile/sndfile_audio_file.h"

namespace {

constexpr uint32_t kFrames = 2048;
constexpr int kRate = 48000;
constexpr int kBuffersPerFile = 1024;

std::string benchPath() { return "/tmp/talvora-file-bench-" + std::to_string(getpid()) + ".wav"; }

std::vector<float> oneBuffer() {
  std::vector<float> samples(kFrames);
  for (uint32_t i = 0; i < kFrames; ++i) samples[i] = 0.25f * std::sin(0.05f * static_cast<float>(i));
  return samples;
}

void reportBuffers(benchmark::State& state) {
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kFrames * sizeof(float));
}

void BM_BackendHeaderEveryWrite(benchmark::State& state) {
  const std::string path = benchPath();
  const std::vector<float> samples = oneBuffer();
  auto factory = talvora::platform::makeSndfileAudioFileFactory();
  std::unique_ptr<talvora::platform::AudioFile> file;
  auto open = [&]() -> bool {
    file.reset();
    auto made = factory->createForWriting(path, {kRate, 1});
    if (!made.ok()) {
      state.SkipWithError(made.error().description.c_str());
      return false;
    }
    file = made.take();
    return true;
  };
  if (!open()) return;
  int written = 0;
  for (auto _ : state) {
    if (file->write(samples.data(), kFrames)) {
      state.SkipWithError("write failed");
      break;
    }
    if (++written == kBuffersPerFile) {
      state.PauseTiming();
      if (!open()) break;
      written = 0;
      state.ResumeTiming();
    }
  }
  file.reset();
  unlink(path.c_str());
  reportBuffers(state);
}
BENCHMARK(BM_BackendHeaderEveryWrite);

enum class Header { EveryWrite, AtCloseOnly, OncePerSecond };

// libsndfile on its own I/O, the header policy set by the benchmark argument.
void BM_Libsndfile(benchmark::State& state) {
  const auto policy = static_cast<Header>(state.range(0));
  const std::string path = benchPath();
  const std::vector<float> samples = oneBuffer();
  SNDFILE* file = nullptr;
  auto open = [&]() -> bool {
    if (file != nullptr) sf_close(file);
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
      state.SkipWithError(sf_strerror(nullptr));
      return false;
    }
    if (policy == Header::EveryWrite) sf_command(file, SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
    return true;
  };
  if (!open()) return;
  int written = 0;
  int framesSinceHeader = 0;
  for (auto _ : state) {
    if (sf_writef_float(file, samples.data(), kFrames) != kFrames) {
      state.SkipWithError(sf_strerror(file));
      break;
    }
    if (policy == Header::OncePerSecond) {
      framesSinceHeader += kFrames;
      if (framesSinceHeader >= kRate) {
        sf_command(file, SFC_UPDATE_HEADER_NOW, nullptr, 0);
        framesSinceHeader = 0;
      }
    }
    if (++written == kBuffersPerFile) {
      state.PauseTiming();
      if (!open()) break;
      written = 0;
      framesSinceHeader = 0;
      state.ResumeTiming();
    }
  }
  if (file != nullptr) sf_close(file);
  unlink(path.c_str());
  reportBuffers(state);
}
BENCHMARK(BM_Libsndfile)
    ->ArgName("header")
    ->Arg(static_cast<int>(Header::EveryWrite))
    ->Arg(static_cast<int>(Header::AtCloseOnly))
    ->Arg(static_cast<int>(Header::OncePerSecond));

}  // namespace
