#pragma once

#include <chrono>

// Test signals, and reading back what the recorder wrote.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace talvora::testing {

// Interleaved float frames at a rate, as fed or as read back.
struct Audio {
  unsigned rate = 0;
  unsigned channels = 0;
  std::vector<float> samples;  // interleaved

  size_t frames() const { return channels ? samples.size() / channels : 0; }
  // The mono mix the recorder writes: the channels' mean.
  std::vector<float> mixDown() const;
};

// A ramp per channel, different on every channel (odd channels run downwards, each at
// its own scale), repeating every `period` frames: each sample tells where it came from.
Audio rampSignal(unsigned rate, unsigned channels, size_t frames, size_t period = 4096);

// Voiced bursts and pauses: a gliding harmonic tone in 180 ms syllables with pauses
// between them, the same on every channel. Voice processing keeps it (it is neither
// stationary noise nor below the high-pass filter), so a processed recording still
// follows its envelope.
Audio speechLikeSignal(unsigned rate, unsigned channels, double seconds);

// Reads a sound file through libsndfile as float frames; throws when it cannot.
Audio readSoundFile(const std::string& path);

// What libsndfile makes of a file's header.
struct SoundFileInfo {
  int format = 0;  // SF_FORMAT_* container | subtype
  int channels = 0;
  int rate = 0;
  int64_t frames = 0;
};
// None when libsndfile cannot open the file; `error` then says why.
std::optional<SoundFileInfo> inspectSoundFile(const std::string& path, std::string* error = nullptr);

// Polls the header (the recorder keeps it current after every write) until it counts at
// least `frames`. False on timeout; `seen` gets the last count (-1: not openable).
bool waitForFileFrames(const std::string& path, int64_t frames, std::chrono::milliseconds timeout,
                       int64_t* seen = nullptr);

// The root-mean-square level of consecutive `window`-sample blocks.
std::vector<double> envelope(const std::vector<float>& samples, size_t window);

// Pearson correlation of the two series over their common length.
double correlation(const std::vector<double>& a, const std::vector<double>& b);

// `samples` from the first one that is not silence (a microphone on its own clock records
// silence until a feed begins).
std::vector<float> fromFirstSound(std::vector<float> samples);

// The largest correlation of the envelopes of `recorded` and `source` with the recording
// shifted by 0..maxLagWindows windows later (processing may delay the signal).
double bestEnvelopeCorrelation(const std::vector<float>& recorded, const std::vector<float>& source, size_t window,
                               size_t maxLagWindows);
// The same for two recordings that may differ in rate (a codec that takes only some
// rates): the mono mixes' envelopes in 20 ms windows, each at its own rate.
double bestEnvelopeCorrelation(const Audio& recorded, const Audio& source, size_t maxLagWindows);

}  // namespace talvora::testing
