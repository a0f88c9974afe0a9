#pragma once

#include <array>
#include <cstdint>

namespace talvora::platform {

// When noise suppression is worth its cost. Suppression takes words from clean speech
// (the recognizer hears its artefacts) and gives words back only in real noise, so it is
// engaged by the noise the microphone actually has, relative to the speech over it.
struct NoiseAdaptationSettings {
  // The noise floor is the quietest (lightly smoothed) 10 ms block of the last this many
  // seconds: speech pauses for breath or between phrases well within that, so the minimum
  // is the noise in those pauses, and a noise that starts is the floor once the window has
  // passed. Shorter windows fall within runs of words, whose gaps are too short for the
  // smoothed level to reach the noise: measured on read speech, a 1.6 s window put clean
  // speech 15 to 20 dB over its "noise", as close as speech in pink noise at 20 dB.
  double noiseWindowSeconds = 5;
  // A block this far above the floor counts as speech, and its level feeds the speech level.
  double speechAboveFloorDb = 9;
  // Until any speech has been heard, the speech is taken to be this loud: a room's noise
  // alone is judged against ordinary close-talk speech.
  double assumedSpeechDbfs = -30;
  // Suppression engages once the speech stands less than `engageBelowDb` above the noise
  // for `engageAfterSeconds`, and releases once it stands more than `releaseAboveDb` above
  // it for `releaseAfterSeconds`. The gap and the hold times keep a noise near the
  // threshold from toggling the processing. The margin is the speech's level while
  // speaking against the quietest noise, so it reads a few dB above the signal-to-noise
  // ratio of mean powers: read speech in pink noise at 10 dB measures 12 to 15 dB, at
  // 20 dB (and brown noise at 10 dB) 17 to 22, clean recordings 30 and more. Suppression
  // costs the recognizer words at 20 dB and helps it only in the strongest noise.
  double engageBelowDb = 16;
  double releaseAboveDb = 21;
  double engageAfterSeconds = 0.4;
  double releaseAfterSeconds = 4;
  // No decision before this much audio: the floor of the first moments is not yet one.
  double settleSeconds = 0.5;
  // Nor before the noise has been heard alone, without speech over it, for this long at a
  // stretch (a level that stays within `noiseAloneWithinDb`, at the floor): the suppressor
  // learns the noise in such stretches, and one that has not cuts speech as if it were
  // noise. Measured on read speech in pink noise at 10 dB, recordings that start speaking
  // within a quarter second: with high suppression from the first moment 87 to 94 % of
  // the words wrong, against 77 to 83 % with none; the same with two seconds of the noise
  // first, 62 %. A recording usually starts with such a moment, and speech pauses that
  // long between sentences.
  double noiseAloneSeconds = 0.6;
  double noiseAloneWithinDb = 5;
  // The unsuppressed and the suppressed signal are crossfaded over this long, so the
  // switch is neither a click nor an audible jump in the noise.
  double fadeSeconds = 0.3;
};

// Measures noise and speech levels block by block and says how much of the suppressed
// signal to use. Fixed-size state only: it runs on the audio thread.
class NoiseAdaptation {
 public:
  NoiseAdaptation(const NoiseAdaptationSettings& settings, double blocksPerSecond);

  // Takes the next block (the signal before suppression) and returns the mix of the
  // suppressed signal at the block's end, 0 (none) to 1 (all); it changes by at most one
  // fade step per block.
  float update(const float* samples, uint32_t frames);

  bool engaged() const { return engaged_; }
  float mix() const { return mix_; }
  // The current estimates, in dB relative to full scale; for tests and the benchmark.
  double noiseFloorDbfs() const;
  double speechDbfs() const;

 private:
  static constexpr int kSubWindows = 8;

  NoiseAdaptationSettings settings_;
  double blockSeconds_;
  uint32_t blocksPerSubWindow_;
  float fadeStep_;

  double smoothedPower_ = -1;
  // Minimum statistics: the minimum of each finished sub-window and of the current one.
  std::array<double, kSubWindows> subWindowMinimum_{};
  int finishedSubWindows_ = 0;
  int nextSubWindow_ = 0;
  double currentMinimum_ = 0;
  uint32_t blocksInSubWindow_ = 0;
  double floorPower_ = 0;

  double speechDb_ = 0;
  uint64_t speechBlocks_ = 0;

  double seconds_ = 0;
  // The current stretch of steady level: how long, and its range.
  double aloneFor_ = 0;
  double stretchLowDb_ = 1000;
  double stretchHighDb_ = -1000;
  bool noiseHeardAlone_ = false;
  double conditionHeld_ = 0;
  bool engaged_ = false;
  float mix_ = 0;
};

}  // namespace talvora::platform
