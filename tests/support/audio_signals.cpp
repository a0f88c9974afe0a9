#include "support/audio_signals.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <thread>

namespace talvora::testing {

std::vector<float> Audio::mixDown() const {
  std::vector<float> mono(frames());
  for (size_t i = 0; i < mono.size(); ++i) {
    float sum = 0;
    for (unsigned c = 0; c < channels; ++c) sum += samples[i * channels + c];
    mono[i] = sum / static_cast<float>(channels);
  }
  return mono;
}

Audio rampSignal(unsigned rate, unsigned channels, size_t frames, size_t period) {
  Audio audio{rate, channels, std::vector<float>(frames * channels)};
  for (size_t i = 0; i < frames; ++i) {
    const float position = static_cast<float>(i % period) / static_cast<float>(period);  // [0, 1)
    for (unsigned c = 0; c < channels; ++c) {
      const float scale = 0.8f / static_cast<float>(c + 1);
      audio.samples[i * channels + c] = (c % 2 == 0 ? 1.0f : -1.0f) * scale * (position - 0.5f);
    }
  }
  return audio;
}

Audio speechLikeSignal(unsigned rate, unsigned channels, double seconds) {
  const size_t frames = static_cast<size_t>(seconds * rate);
  Audio audio{rate, channels, std::vector<float>(frames * channels)};
  const double pi = std::acos(-1.0);
  for (size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    // 250 ms syllables, 180 ms of them voiced; every fourth left out, like the pause
    // between words.
    const double inSyllable = std::fmod(t, 0.25);
    const bool skipped = static_cast<long>(t / 0.25) % 4 == 3;
    double shape = 0;
    if (!skipped && inSyllable < 0.18) shape = std::sin(pi * inSyllable / 0.18);
    // Pitch gliding between 100 and 180 Hz: the phase is the integral of
    // 140 + 40 sin(2 pi 0.7 t).
    const double phase = 2 * pi * (140 * t - 40 / (2 * pi * 0.7) * std::cos(2 * pi * 0.7 * t));
    double voiced = 0;
    for (int h = 1; h <= 12; ++h) voiced += std::sin(h * phase) / h;
    const float value = static_cast<float>(0.25 * shape * voiced);
    for (unsigned c = 0; c < channels; ++c) audio.samples[i * channels + c] = value;
  }
  return audio;
}

Audio readSoundFile(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) throw std::runtime_error("cannot open " + path + ": " + sf_strerror(nullptr));
  Audio audio{static_cast<unsigned>(info.samplerate), static_cast<unsigned>(info.channels), {}};
  // Up to the end of what decodes, not the header's count: a FLAC stream whose writer
  // never closed it does not know its length.
  std::vector<float> chunk(16384 * audio.channels);
  for (sf_count_t got; (got = sf_readf_float(file, chunk.data(), 16384)) > 0;) {
    audio.samples.insert(audio.samples.end(), chunk.begin(), chunk.begin() + got * info.channels);
  }
  sf_close(file);
  return audio;
}

std::optional<SoundFileInfo> inspectSoundFile(const std::string& path, std::string* error) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    if (error) *error = sf_strerror(nullptr);
    return std::nullopt;
  }
  sf_close(file);
  return SoundFileInfo{info.format, info.channels, info.samplerate, static_cast<int64_t>(info.frames)};
}

std::vector<double> envelope(const std::vector<float>& samples, size_t window) {
  std::vector<double> levels;
  for (size_t start = 0; start + window <= samples.size(); start += window) {
    double sum = 0;
    for (size_t i = start; i < start + window; ++i) sum += static_cast<double>(samples[i]) * samples[i];
    levels.push_back(std::sqrt(sum / static_cast<double>(window)));
  }
  return levels;
}

double correlation(const std::vector<double>& a, const std::vector<double>& b) {
  const size_t n = std::min(a.size(), b.size());
  if (n < 2) return 0;
  double meanA = 0, meanB = 0;
  for (size_t i = 0; i < n; ++i) {
    meanA += a[i];
    meanB += b[i];
  }
  meanA /= static_cast<double>(n);
  meanB /= static_cast<double>(n);
  double covariance = 0, varianceA = 0, varianceB = 0;
  for (size_t i = 0; i < n; ++i) {
    covariance += (a[i] - meanA) * (b[i] - meanB);
    varianceA += (a[i] - meanA) * (a[i] - meanA);
    varianceB += (b[i] - meanB) * (b[i] - meanB);
  }
  if (varianceA <= 0 || varianceB <= 0) return 0;
  return covariance / std::sqrt(varianceA * varianceB);
}

namespace {

double bestLaggedCorrelation(const std::vector<double>& heard, const std::vector<double>& said, size_t maxLagWindows) {
  double best = -1;
  for (size_t lag = 0; lag <= maxLagWindows && lag < heard.size(); ++lag) {
    std::vector<double> shifted(heard.begin() + static_cast<std::ptrdiff_t>(lag), heard.end());
    best = std::max(best, correlation(shifted, said));
  }
  return best;
}

}  // namespace

double bestEnvelopeCorrelation(const std::vector<float>& recorded, const std::vector<float>& source, size_t window,
                               size_t maxLagWindows) {
  return bestLaggedCorrelation(envelope(recorded, window), envelope(source, window), maxLagWindows);
}

double bestEnvelopeCorrelation(const Audio& recorded, const Audio& source, size_t maxLagWindows) {
  return bestLaggedCorrelation(envelope(recorded.mixDown(), recorded.rate / 50), envelope(source.mixDown(), source.rate / 50),
                               maxLagWindows);
}

bool waitForFileFrames(const std::string& path, int64_t frames, std::chrono::milliseconds timeout, int64_t* seen) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto info = inspectSoundFile(path);
    if (seen) *seen = info ? info->frames : -1;
    if (info && info->frames >= frames) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::vector<float> fromFirstSound(std::vector<float> samples) {
  const auto sound = std::find_if(samples.begin(), samples.end(), [](float x) { return std::fabs(x) > 1e-6f; });
  samples.erase(samples.begin(), sound);
  return samples;
}

}  // namespace talvora::testing
